#include "net/MainThreadQueue.h"

#include <QSocketNotifier>

#include "platform/Socket.h"

namespace merivo {

MainThreadQueue::MainThreadQueue()
    : mainThread_(std::this_thread::get_id()),
      wakeup_(std::make_unique<WakeupEvent>()),
      notifier_(std::make_unique<QSocketNotifier>(wakeup_->handle(), QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { runQueued(); });
}

MainThreadQueue::~MainThreadQueue() = default;

bool MainThreadQueue::onMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

void MainThreadQueue::run(std::function<void()> work) {
    if (onMainThread()) {
        work();
        return;
    }
    {
        MutexLock guard(lock_);
        queued_.push_back(std::move(work));
    }
    wakeup_->raise();
}

void MainThreadQueue::runQueued() {
    wakeup_->clear();
    std::vector<std::function<void()>> work;
    {
        MutexLock guard(lock_);
        work.swap(queued_);
    }
    for (auto& step : work) step();
}

}  // namespace merivo
