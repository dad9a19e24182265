#pragma once
// Threads with handles and exit codes, as the send processes use them. A thread is never killed
// asynchronously: terminate() wakes it, makes its waits and socket loops end, and the thread
// returns on its own.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Locks.h"

namespace merivo {

constexpr std::uint32_t kStillActive = 259;

class Thread {
public:
    using Body = std::function<std::uint32_t(Thread& self)>;

    // Starts body on a thread of its own (a system thread whose previous body has returned may
    // be reused); nullptr when no thread could be started.
    static std::shared_ptr<Thread> Start(Body body);

    // A process-unique, non-zero number naming the thread.
    std::uintptr_t handle() const { return handle_; }
    // kStillActive while the body runs, then its result.
    std::uint32_t exitCode() const { return exitCode_.load(); }
    bool finished() const { return exitCode() != kStillActive; }

    // Called by the thread itself: waits until resume() or terminate(). A resume() that came
    // first is kept, so a thread never sleeps through the call that should wake it.
    void suspendSelf() MAY_WAIT;
    void resume();

    // Asks the thread to end; wakes it from suspendSelf() and sleep(). True for the call that
    // asked first, so that exactly one party accounts for the thread's end.
    bool terminate();
    bool terminateRequested() const { return terminate_.load(); }

    // Sleeps up to ms milliseconds; returns false (at once) when termination was asked for.
    bool sleep(int ms) MAY_WAIT;

    // Waits until the body has returned, up to ms milliseconds; true when it has.
    bool waitFinished(int ms) MAY_WAIT;

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread() = default;

private:
    Thread();

    std::uintptr_t handle_;
    std::atomic<std::uint32_t> exitCode_{kStillActive};
    std::atomic<bool> terminate_{false};
    Mutex mutex_ LEAF_LOCK;
    CondVar wake_;  // resume, end request, and the body's end
    bool resumePending_ GUARDED_BY(mutex_) = false;
};

// Number of threads started with Thread::Start whose body has not returned yet.
int RunningThreadCount();

}  // namespace merivo
