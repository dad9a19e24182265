#pragma once
// The machinery shared by send and mail processes: starting a process thread, handing it its
// parameters, waiting for its turn by sequence number and passing the turn on.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "db/UnDBType.h"
#include "platform/Thread.h"

namespace merivo {

// A process-wide hand-off slot: filled by the creator under the thread-table lock, taken by the
// new thread, which clears `started` once it no longer needs the slot.
class HandOffSlot {
  public:
    void fill();   // sets the started flag
    void taken();  // clears it and wakes the creator
    // Waits until the new thread has cleared the flag; false when it ended without doing so.
    bool waitTaken(const Thread& thread);

  private:
    std::mutex mutex_;
    std::condition_variable cleared_;
    bool started_ = false;
};

// Creates a process for the user's next sequence number under the thread-table lock: `fill`
// puts the parameters into `slot` for that number, then the thread is started (once more after
// 10 ms when it cannot be), waited for until it has taken the slot, and entered in the user's
// table. Returns the thread, or nullptr after logging why there is none; `kindText` follows
// the host in the log line of an unexpected failure.
std::shared_ptr<Thread> CreateProcess(TMyNameUser& user, HandOffSlot& slot,
                                      const std::function<void(std::int32_t)>& fill,
                                      Thread::Body body, const std::string& kindText);

// Nothing outstanding: every process created for the user has finished.
bool SendQueueIdle(const TMyNameUser& user);
// Closes the user's outgoing connection; failures are ignored.
void CloseOutgoingQuietly(TMyNameUser& user);

// Queue limit and idle clean-up before a new process is created for the user. False (and
// sendStopped set, the refusal logged) when the queue is full.
bool MakeRoomForProcess(TMyNameUser& user);

// Waits until the process with this sequence number may send, then marks it as started: a
// process with two or more predecessors outstanding suspends itself until the one before it
// (or the watchdog) resumes it, then polls. False when the process was asked to end meanwhile.
bool WaitForTurn(Thread& self, TMyNameUser& user, std::int32_t sequence);
// Wakes the successor and marks this process as finished, unless the process was asked to end.
void PassTurn(TMyNameUser& user, std::int32_t sequence);
// Marks the user's sending as failed (the watchdog then closes the connection), unless the
// calling process was asked to end: its user may be online again with a fresh connection.
// False when nothing was marked.
bool StopSendingUnlessEnding(TMyNameUser& user);
// Resumes the first kind-1 entry with this sequence number, if there is one. Called under the
// thread-table lock.
void ResumeProcess(TMyNameUser& user, std::int32_t sequence);

// Sleeps; inside a send or mail process the sleep ends early, returning false, when the
// process is asked to end.
bool ProcessSleep(int ms);

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
