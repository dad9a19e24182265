// Starting send and mail processes and keeping them in sequence.
#include "net/UnSockSr_SendTurn.h"

#include <chrono>
#include <thread>

#include "db/MessageCatalog.h"
#include "net/ProcessTable.h"
#include "net/UnSockSr_Send.h"
#include "net/UserTransport.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);
// A table of a user who is never idle keeps finished entries until it holds this many.
constexpr std::size_t kFinishedEntriesKept = 2 * kSendQueueLimit;

thread_local Thread* CurrentProcess = nullptr;

// The send turn: a process passes its turn (sets sendFinished) under it, and its successor
// checks the counters under it before it waits, so that the wake-up is never missed.
constinit Mutex TurnMutex ACQUIRED_AFTER(ThreadTableMutex, LogMutex);
// Woken whenever a process finishes, so that its successor need not wait for the next poll.
CondVar TurnChanged;

// Drops the entries of processes that have finished their turn. Only needed for a user whose
// queue never runs empty: an idle user's table is cleared as a whole.
void ForgetFinishedProcesses(TMyNameUser& user) {
    MutexLock lock(ThreadTableLock());
    std::vector<ThreadTableEntry>& table = TransportOf(user).threadTable;
    if (table.size() < kFinishedEntriesKept) return;
    const std::int32_t finished = user.sendFinished;
    std::erase_if(table, [finished](const ThreadTableEntry& entry) {
        return entry.sequence <= finished && (!entry.thread || entry.thread->finished());
    });
}

// Every process started and not yet seen finished, whether or not a user's table still holds
// it (a table is cleared while its processes may still be ending).
std::vector<std::shared_ptr<Thread>> StartedProcesses GUARDED_BY(ThreadTableMutex);

void ForgetFinished(std::vector<std::shared_ptr<Thread>>& processes) {
    std::erase_if(processes, [](const std::shared_ptr<Thread>& thread) { return thread->finished(); });
}

// Finished processes are dropped only when the list would grow, so that keeping it costs
// nothing per process on the average.
void RememberProcess(std::shared_ptr<Thread> thread) REQUIRES(ThreadTableMutex) {
    if (StartedProcesses.size() == StartedProcesses.capacity()) ForgetFinished(StartedProcesses);
    StartedProcesses.push_back(std::move(thread));
}

// Asks each running process to end, accounting for it as TerminateThreads does; the ones that
// were still running.
std::vector<std::shared_ptr<Thread>> TerminateStartedProcesses() {
    MutexLock lock(ThreadTableLock());
    ForgetFinished(StartedProcesses);
    for (const std::shared_ptr<Thread>& thread : StartedProcesses) {
        if (thread->exitCode() == kStillActive && thread->terminate()) --RunningSendThreads;
    }
    return StartedProcesses;
}

// Starts the process for the user's next sequence number and enters it in the user's table, under
// the thread-table lock: a predecessor that passes its turn (under the lock) always finds the new
// process to resume. nullptr when no thread could be started.
std::shared_ptr<Thread> StartNextProcess(TMyNameUser& user,
                                         const std::function<Thread::Body(std::int32_t)>& body) {
    MutexLock lock(ThreadTableLock());
    const std::int32_t sequence = user.sendIssued + 1;
    std::shared_ptr<Thread> thread = Thread::Start(body(sequence));
    if (!thread) return nullptr;
    TransportOf(user).threadTable.push_back({thread, sequence, 1});
    RememberProcess(thread);
    user.sendIssued = sequence;
    return thread;
}

}  // namespace

bool EndAllProcesses(int waitMs) {
    const std::vector<std::shared_ptr<Thread>> running = TerminateStartedProcesses();
    ForEachUser(CloseOutgoingQuietly);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (const std::shared_ptr<Thread>& thread : running) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!thread->waitFinished(static_cast<int>(left.count()))) return false;
    }
    MutexLock lock(ThreadTableLock());
    ForgetFinished(StartedProcesses);
    return true;
}

bool SendQueueIdle(const TMyNameUser& user) {
    const std::int32_t finished = user.sendFinished;
    return user.sendStarted == finished && user.sendIssued == finished;
}

void CloseOutgoingQuietly(TMyNameUser& user) {
    try {
        if (user.outgoing) user.outgoing->close();
    } catch (...) {
        DebugLog("Close of " + user.host + ": " + CaughtText());
    }
}

std::shared_ptr<Thread> CreateProcess(TMyNameUser& user,
                                      const std::function<Thread::Body(std::int32_t)>& body,
                                      const std::string& kindText) {
    try {
        std::shared_ptr<Thread> thread = StartNextProcess(user, body);
        if (!thread) {
            // The pause before the second attempt is made without the lock.
            std::this_thread::sleep_for(kPollInterval);
            thread = StartNextProcess(user, body);
        }
        if (!thread) {
            user.sendStopped = true;
            WriteLog("Error CreateThread");
        }
        return thread;
    } catch (...) {
        user.sendStopped = true;
        WriteLog(Msg(msgSendProcessError) + user.host + kindText);
        return nullptr;
    }
}

bool MakeRoomForProcess(TMyNameUser& user) {
    SendGatheredPieces(user);  // they are due before anything a process sends
    const std::int32_t queued = user.sendIssued - user.sendFinished;
    if (queued >= kSendQueueLimit) {
        user.sendStopped = true;
        WriteLog(user.host + " -> disconnect (queue of packages = " + std::to_string(queued) +
                 ").");
        return false;
    }
    if (!SendQueueIdle(user)) {
        ForgetFinishedProcesses(user);
    } else if (HasProcesses(user)) {
        CloseFinishedHandles(user, false);
    }
    return true;
}

bool WaitForTurn(Thread& self, TMyNameUser& user, std::int32_t sequence) {
    // Two or more predecessors outstanding: sleep until the one before us wakes us.
    if (sequence > user.sendFinished + 2) self.suspendSelf();
    {
        MutexLock lock(TurnMutex);
        while (user.sendFinished != sequence - 1 || user.sendStarted != sequence - 1) {
            if (self.terminateRequested()) return false;
            TurnChanged.waitUntil(TurnMutex, CondVar::Clock::now() + kPollInterval);
        }
    }
    // As in PassTurn: a process ended before it could mark its start leaves the counters alone.
    MutexLock tableLock(ThreadTableLock());
    if (self.terminateRequested()) return false;
    MutexLock lock(TurnMutex);
    user.sendStarted = sequence;
    return true;
}

void PassTurn(TMyNameUser& user, std::int32_t sequence) {
    {
        // Processes are ended under this lock, and coming online restarts the counters after
        // that: a process ended meanwhile must not write its old number into the new ones.
        MutexLock tableLock(ThreadTableLock());
        if (ProcessEnding()) return;
        try {
            ResumeProcess(user, sequence + 1);
        } catch (...) {
            DebugLog("Conflict ResumeThread");
        }
        MutexLock lock(TurnMutex);
        user.sendFinished = sequence;
    }
    TurnChanged.notifyAll();
}

bool StopSendingUnlessEnding(TMyNameUser& user) {
    MutexLock tableLock(ThreadTableLock());
    if (ProcessEnding()) return false;
    user.sendStopped = true;
    return true;
}

void ResumeProcess(TMyNameUser& user, std::int32_t sequence) {
    for (ThreadTableEntry& entry : TransportOf(user).threadTable) {
        if (entry.sequence != sequence || entry.kind != 1) continue;
        if (entry.thread) entry.thread->resume();
        return;
    }
}

bool ProcessWaitWritable(TcpSocket& connection, int ms) {
    if (ProcessEnding()) return false;
    connection.waitWritable(ms);
    return !ProcessEnding();
}

ProcessScope::ProcessScope(Thread& self) {
    CurrentProcess = &self;
    ++RunningSendThreads;
}

ProcessScope::~ProcessScope() {
    // Whoever asks for the end first (the process here, or TerminateThreads) counts it off, once.
    if (CurrentProcess->terminate()) --RunningSendThreads;
    CurrentProcess = nullptr;
}

bool ProcessEnding() {
    return CurrentProcess != nullptr && CurrentProcess->terminateRequested();
}

bool ProcessSleep(int ms) {
    if (CurrentProcess != nullptr) return CurrentProcess->sleep(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
}

}  // namespace merivo
