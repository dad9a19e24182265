// Starting send and mail processes and keeping them in sequence.
#include "net/UnSockSr_SendTurn.h"

#include <chrono>
#include <thread>

#include "db/MessageCatalog.h"
#include "net/UnSockSr_Send.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);
// A table of a user who is never idle keeps finished entries until it holds this many.
constexpr std::size_t kFinishedEntriesKept = 2 * kSendQueueLimit;

thread_local Thread* CurrentProcess = nullptr;

// Woken whenever a process finishes, so that its successor need not wait for the next poll.
std::mutex& TurnMutex() {
    static std::mutex mutex;
    return mutex;
}
std::condition_variable& TurnChanged() {
    static std::condition_variable changed;
    return changed;
}

// Drops the entries of processes that have finished their turn. Only needed for a user whose
// queue never runs empty: an idle user's table is cleared as a whole.
void ForgetFinishedProcesses(TMyNameUser& user) {
    std::lock_guard<std::recursive_mutex> lock(ThreadTableLock());
    if (user.threadTable.size() < kFinishedEntriesKept) return;
    const std::int32_t finished = user.sendFinished;
    std::erase_if(user.threadTable, [finished](const ThreadTableEntry& entry) {
        return entry.sequence <= finished && (!entry.thread || entry.thread->finished());
    });
}

// Every process started and not yet seen finished, whether or not a user's table still holds
// it (a table is cleared while its processes may still be ending). Guarded by the thread-table
// lock.
std::vector<std::shared_ptr<Thread>>& StartedProcesses() {
    static std::vector<std::shared_ptr<Thread>> started;
    return started;
}

void ForgetFinished(std::vector<std::shared_ptr<Thread>>& processes) {
    std::erase_if(processes, [](const std::shared_ptr<Thread>& thread) { return thread->finished(); });
}

// Finished processes are dropped only when the list would grow, so that keeping it costs
// nothing per process on the average.
void RememberProcess(std::shared_ptr<Thread> thread) {
    std::vector<std::shared_ptr<Thread>>& started = StartedProcesses();
    if (started.size() == started.capacity()) ForgetFinished(started);
    started.push_back(std::move(thread));
}

// Asks each running process to end, accounting for it as TerminateThreads does; the ones that
// were still running.
std::vector<std::shared_ptr<Thread>> TerminateStartedProcesses() {
    std::lock_guard<std::recursive_mutex> lock(ThreadTableLock());
    std::vector<std::shared_ptr<Thread>>& started = StartedProcesses();
    ForgetFinished(started);
    for (const std::shared_ptr<Thread>& thread : started) {
        if (thread->exitCode() == kStillActive && thread->terminate()) --RunningSendThreads;
    }
    return started;
}

bool HasProcesses(const TMyNameUser& user) {
    std::lock_guard<std::recursive_mutex> lock(ThreadTableLock());
    return !user.threadTable.empty();
}

std::shared_ptr<Thread> StartProcessThread(const Thread::Body& body) {
    if (auto thread = Thread::Start(body)) return thread;
    std::this_thread::sleep_for(kPollInterval);
    return Thread::Start(body);
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
    std::lock_guard<std::recursive_mutex> lock(ThreadTableLock());
    ForgetFinished(StartedProcesses());
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
    std::unique_lock<std::recursive_mutex> lock(ThreadTableLock(), std::defer_lock);
    try {
        lock.lock();
        const std::int32_t sequence = user.sendIssued + 1;
        // The entry is made before the lock is released, so a predecessor that passes its turn
        // (under the lock) always finds the new process to resume.
        std::shared_ptr<Thread> thread = StartProcessThread(body(sequence));
        if (!thread) {
            user.sendStopped = true;
            lock.unlock();
            WriteLog("Error CreateThread");
            return nullptr;
        }
        user.threadTable.push_back({thread, sequence, 1});
        RememberProcess(thread);
        user.sendIssued = sequence;
        return thread;
    } catch (...) {
        user.sendStopped = true;
        if (lock.owns_lock()) lock.unlock();
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
        std::unique_lock<std::mutex> lock(TurnMutex());
        while (user.sendFinished != sequence - 1 || user.sendStarted != sequence - 1) {
            if (self.terminateRequested()) return false;
            TurnChanged().wait_for(lock, kPollInterval);
        }
    }
    // As in PassTurn: a process ended before it could mark its start leaves the counters alone.
    std::lock_guard<std::recursive_mutex> tableLock(ThreadTableLock());
    if (self.terminateRequested()) return false;
    std::lock_guard<std::mutex> lock(TurnMutex());
    user.sendStarted = sequence;
    return true;
}

void PassTurn(TMyNameUser& user, std::int32_t sequence) {
    {
        // Processes are ended under this lock, and coming online restarts the counters after
        // that: a process ended meanwhile must not write its old number into the new ones.
        std::lock_guard<std::recursive_mutex> tableLock(ThreadTableLock());
        if (ProcessEnding()) return;
        try {
            ResumeProcess(user, sequence + 1);
        } catch (...) {
            DebugLog("Conflict ResumeThread");
        }
        std::lock_guard<std::mutex> lock(TurnMutex());
        user.sendFinished = sequence;
    }
    TurnChanged().notify_all();
}

bool StopSendingUnlessEnding(TMyNameUser& user) {
    std::lock_guard<std::recursive_mutex> tableLock(ThreadTableLock());
    if (ProcessEnding()) return false;
    user.sendStopped = true;
    return true;
}

void ResumeProcess(TMyNameUser& user, std::int32_t sequence) {
    for (ThreadTableEntry& entry : user.threadTable) {
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
