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
            std::lock_guard<std::mutex> guard(mutex_);
            if (idle_ > jobs_.size()) {
                jobs_.push_back(std::move(job));
                wake_.notify_one();
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
            std::unique_lock<std::mutex> lock(mutex_);
            ++idle_;
            wake_.wait_for(lock, kIdleLinger, [this] { return !jobs_.empty(); });
            --idle_;
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;  // each has an idle thread that will take it
    std::size_t idle_ = 0;
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
            std::lock_guard<std::mutex> guard(thread->mutex_);
            thread->exitCode_.store(code);
        }
        thread->wake_.notify_all();
    });
    if (!started) {
        --RunningThreads;
        return nullptr;
    }
    return thread;
}

void Thread::suspendSelf() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return resumePending_ || terminate_.load(); });
    resumePending_ = false;
}

void Thread::resume() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        resumePending_ = true;
    }
    wake_.notify_all();
}

bool Thread::terminate() {
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        first = !terminate_.exchange(true);
    }
    wake_.notify_all();
    return first;
}

bool Thread::sleep(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0),
                   [this] { return terminate_.load(); });
    return !terminate_.load();
}

bool Thread::waitFinished(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, std::chrono::milliseconds(ms > 0 ? ms : 0),
                          [this] { return finished(); });
}

int RunningThreadCount() {
    return RunningThreads.load();
}

}  // namespace merivo
