#include "net/ProcessTable.h"

#include "platform/Locks.h"
#include "platform/Log.h"

namespace merivo {

std::atomic<int> RunningSendThreads{0};

void TerminateThreads(TMyNameUser& user, int kind) {
    MutexLock tableLock(ThreadTableLock());
    MutexLock logLock(LogLock());
    try {
        for (ThreadTableEntry& entry : TransportOf(user).threadTable) {
            if (!entry.thread || entry.kind != kind) continue;
            // A process that is ending on its own claims its end first and counts itself off.
            if (entry.thread->exitCode() == kStillActive && entry.thread->terminate()) {
                --RunningSendThreads;
            }
        }
        DebugLog("Terminate all threads - " + user.host);
    } catch (...) {
        // Shutdown and clean-up go on whatever happened to one user.
    }
}

void CloseFinishedHandles(TMyNameUser& user, bool force) {
    MutexLock tableLock(ThreadTableLock());
    std::vector<ThreadTableEntry>& table = TransportOf(user).threadTable;
    try {
        DebugLog("CloseHandle " + std::to_string(table.size()));
        bool stillRunning = false;
        for (ThreadTableEntry& entry : table) {
            if (!entry.thread) continue;
            if (entry.thread->finished()) {
                DebugLog("CloseHandle -> " + std::to_string(entry.thread->handle()));
                entry.thread.reset();
            } else {
                stillRunning = true;
            }
        }
        if (!stillRunning || force) {
            table.clear();
            DebugLog("Clear Array of Handles");
        }
    } catch (...) {
        // As above: a failure for one user never stops the caller.
    }
}

bool HasProcesses(const TMyNameUser& user) {
    MutexLock lock(ThreadTableLock());
    return !TransportOf(user).threadTable.empty();
}

}  // namespace merivo
