#pragma once
// Mutexes whose use clang checks (see platform/ThreadAnnotations.h): Mutex, RecursiveMutex, the
// scoped MutexLock that holds either, and CondVar, the waits on a Mutex. Every lock of the server
// is one of these; platform/Locks.h lists them in the order they are taken.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/ThreadAnnotations.h"

namespace merivo {

// A mutex over the standard one, for the analysis. RecursiveMutex: its holder may take it again
// (the log's and the thread tables': code that holds them calls code that takes them).
template <typename Native>
class CAPABILITY("mutex") BasicMutex {
  public:
    constexpr BasicMutex() = default;
    BasicMutex(const BasicMutex&) = delete;
    BasicMutex& operator=(const BasicMutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    friend class CondVar;
    Native mutex_;
};

using Mutex = BasicMutex<std::mutex>;
using RecursiveMutex = BasicMutex<std::recursive_mutex>;

// Holds the mutex from construction to destruction, unless unlocked before.
template <typename LockType>
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(LockType& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    // Takes over a lock that the caller holds already, taken by a call whose locking the analysis
    // cannot follow (see OpenFileRetryingLocked); for the analysis the lock is taken here.
    MutexLock(LockType& mutex, std::adopt_lock_t) ACQUIRE(mutex) : mutex_(mutex) {}
    ~MutexLock() RELEASE() {
        if (held_) mutex_.unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() RELEASE() {
        mutex_.unlock();
        held_ = false;
    }

  private:
    LockType& mutex_;
    bool held_ = true;
};

// Waits of a thread that holds a Mutex for another thread's change under it. Each wait releases
// the mutex while it waits and holds it again when it returns, also on a spurious wake-up: the
// caller checks its condition in a loop.
class CondVar {
  public:
    using Clock = std::chrono::steady_clock;

    void wait(Mutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> native(mutex.mutex_, std::adopt_lock);
        changed_.wait(native);
        native.release();
    }
    // False when the deadline has passed.
    bool waitUntil(Mutex& mutex, Clock::time_point deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> native(mutex.mutex_, std::adopt_lock);
        const bool woken = changed_.wait_until(native, deadline) == std::cv_status::no_timeout;
        native.release();
        return woken;
    }
    void notifyOne() { changed_.notify_one(); }
    void notifyAll() { changed_.notify_all(); }

  private:
    std::condition_variable changed_;
};

}  // namespace merivo
