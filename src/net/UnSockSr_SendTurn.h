#pragma once
// The machinery shared by send and mail processes: starting a process thread, handing it its
// parameters, waiting for its turn by sequence number and passing the turn on.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "db/UnDBType.h"
#include "platform/Locks.h"
#include "platform/Thread.h"

namespace merivo {

class TcpSocket;

// Creates a process for the user's next sequence number under the thread-table lock: `body`
// makes the process's body for that number (everything the process needs is in it), then the
// thread is started and entered in the user's table. When no thread can be started, it tries once
// more after 10 ms, waited without the lock.
// The creator does not wait for the new thread. Returns the thread, or nullptr after logging why
// there is none; `kindText` follows the host in the log line of an unexpected failure.
std::shared_ptr<Thread> CreateProcess(TMyNameUser& user,
                                      const std::function<Thread::Body(std::int32_t)>& body,
                                      const std::string& kindText);

// Asks every send and mail process to end, closes every user's outgoing connection (which wakes a
// process waiting on it) and waits until each process has returned, up to waitMs in all. False
// when one still runs then. Main thread only.
bool EndAllProcesses(int waitMs) MAY_WAIT;

// Nothing outstanding: every process created for the user has finished.
bool SendQueueIdle(const TMyNameUser& user);
// Closes the user's outgoing connection; failures are ignored.
void CloseOutgoingQuietly(TMyNameUser& user);

// Queue limit and idle clean-up before a new process is created for the user, after the pieces
// gathered for the user in this turn have been sent. False (and sendStopped set, the refusal
// logged) when the queue is full.
bool MakeRoomForProcess(TMyNameUser& user);

// Waits until the process with this sequence number may send, then marks it as started: a
// process with two or more predecessors outstanding suspends itself until the one before it
// (or the watchdog) resumes it, then polls. False when the process was asked to end meanwhile.
bool WaitForTurn(Thread& self, TMyNameUser& user, std::int32_t sequence) MAY_WAIT;
// Wakes the successor and marks this process as finished, unless the process was asked to end.
void PassTurn(TMyNameUser& user, std::int32_t sequence);
// Marks the user's sending as failed (the watchdog then closes the connection), unless the
// calling process was asked to end: its user may be online again with a fresh connection.
// False when nothing was marked.
bool StopSendingUnlessEnding(TMyNameUser& user);
// Resumes the first kind-1 entry with this sequence number, if there is one.
void ResumeProcess(TMyNameUser& user, std::int32_t sequence) REQUIRES(ThreadTableMutex);

// Sleeps; inside a send or mail process the sleep ends early, returning false, when the
// process is asked to end.
bool ProcessSleep(int ms) MAY_WAIT;

// Waits up to ms milliseconds until the connection takes bytes again. False when the calling
// process has been asked to end (an end request does not cut the wait short).
bool ProcessWaitWritable(TcpSocket& connection, int ms) MAY_WAIT;

// Marks the calling thread as the given process for ProcessSleep and ProcessEnding, and counts
// it in RunningSendThreads while it runs.
class ProcessScope {
  public:
    explicit ProcessScope(Thread& self);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;
};
// True when the calling process has been asked to end.
bool ProcessEnding();

}  // namespace merivo
