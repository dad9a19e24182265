#include "platform/Thread.h"

#include <chrono>
#include <deque>
#include <system_error>
#include <thread>

#include "platform/Log.h"

namespace merivo {
namespace {

// The exit code of a body that ended with an exception instead of returning.
constexpr std::uint32_t kBodyFailed = 1;
// How long a system thread whose body has returned waits for the next body before it ends.
constexpr auto kIdleLinger = std::chrono::seconds(2);

std::atomic<int> RunningThreads{0};

std::uintptr_t NextHandle() {
    static std::atomic<std::uintptr_t> last{0};
    return ++last;
}

// System threads outlive their body for a while and take the next body started, so that work
// started in quick succession (a send process per piece) does not pay for a new thread each time.
class ThreadPool {
  public:
    // Runs the job on an idle thread, or on a new one; false when no thread could be started.
    bool run(std::function<void()> job) {
        {
            MutexLock guard(mutex_);
            if (idle_ > jobs_.size()) {
                jobs_.push_back(std::move(job));
                wake_.notifyOne();
                return true;
            }
        }
        try {
            std::thread([this, job = std::move(job)]() mutable { work(std::move(job)); }).detach();
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

  private:
    void work(std::function<void()> job) {
        for (;;) {
            job();
            job = nullptr;
            MutexLock lock(mutex_);
            ++idle_;
            const auto deadline = CondVar::Clock::now() + kIdleLinger;
            while (jobs_.empty() && wake_.waitUntil(mutex_, deadline)) {
            }
            --idle_;
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
    }

    Mutex mutex_ LEAF_LOCK;
    CondVar wake_;
    // Each has an idle thread that will take it.
    std::deque<std::function<void()>> jobs_ GUARDED_BY(mutex_);
    std::size_t idle_ GUARDED_BY(mutex_) = 0;
};

// Never destroyed: idle threads may still wait on it while the process exits.
ThreadPool& Pool() {
    static ThreadPool* pool = new ThreadPool;
    return *pool;
}

}  // namespace

Thread::Thread() : handle_(NextHandle()) {}

std::shared_ptr<Thread> Thread::Start(Body body) {
    std::shared_ptr<Thread> thread(new Thread());
    ++RunningThreads;
    const bool started = Pool().run([thread, body = std::move(body)]() mutable {
        std::uint32_t code = kBodyFailed;
        try {
            code = body(*thread);
        } catch (...) {
            DebugLog("Thread body: " + CaughtText());  // it ends with kBodyFailed
        }
        body = nullptr;  // what the body holds is released before it counts as finished
        --RunningThreads;
        {
            MutexLock guard(thread->mutex_);
            thread->exitCode_.store(code);
        }
        thread->wake_.notifyAll();
    });
    if (!started) {
        --RunningThreads;
        return nullptr;
    }
    return thread;
}

void Thread::suspendSelf() {
    MutexLock lock(mutex_);
    while (!resumePending_ && !terminate_.load()) wake_.wait(mutex_);
    resumePending_ = false;
}

void Thread::resume() {
    {
        MutexLock guard(mutex_);
        resumePending_ = true;
    }
    wake_.notifyAll();
}

bool Thread::terminate() {
    bool first = false;
    {
        MutexLock guard(mutex_);
        first = !terminate_.exchange(true);
    }
    wake_.notifyAll();
    return first;
}

namespace {

CondVar::Clock::time_point DeadlineIn(int ms) {
    return CondVar::Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
}

}  // namespace

bool Thread::sleep(int ms) {
    const auto deadline = DeadlineIn(ms);
    MutexLock lock(mutex_);
    while (!terminate_.load() && wake_.waitUntil(mutex_, deadline)) {
    }
    return !terminate_.load();
}

bool Thread::waitFinished(int ms) {
    const auto deadline = DeadlineIn(ms);
    MutexLock lock(mutex_);
    while (!finished() && wake_.waitUntil(mutex_, deadline)) {
    }
    return finished();
}

int RunningThreadCount() {
    return RunningThreads.load();
}

}  // namespace merivo
