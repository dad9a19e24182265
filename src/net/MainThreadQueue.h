#pragma once
// Work that other threads hand to the main thread. It waits in a queue of our own and wakes the
// main thread's event loop through a descriptor the loop watches, so no other thread calls into
// the event loop or touches an object of the main thread. Work still queued when the queue is
// destroyed is dropped.
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Locks.h"

class QSocketNotifier;

namespace merivo {

class WakeupEvent;

class MainThreadQueue {
  public:
    // The thread that creates the queue is its main thread; its event loop runs the work.
    MainThreadQueue();
    ~MainThreadQueue();
    MainThreadQueue(const MainThreadQueue&) = delete;
    MainThreadQueue& operator=(const MainThreadQueue&) = delete;

    bool onMainThread() const;
    // On the main thread the work runs at once; from any other thread it runs on the main thread
    // after the work queued before it.
    void run(std::function<void()> work);

  private:
    void runQueued();

    std::thread::id mainThread_;
    Mutex lock_ LEAF_LOCK;
    std::vector<std::function<void()>> queued_ GUARDED_BY(lock_);
    std::unique_ptr<WakeupEvent> wakeup_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace merivo
