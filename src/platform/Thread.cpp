#include "platform/Thread.h"

#include <chrono>
#include <system_error>
#include <thread>

namespace merivo {
namespace {

// The exit code of a body that ended with an exception instead of returning.
constexpr std::uint32_t kBodyFailed = 1;

std::atomic<int> RunningThreads{0};

std::uintptr_t NextHandle() {
    static std::atomic<std::uintptr_t> last{0};
    return ++last;
}

}  // namespace

Thread::Thread() : handle_(NextHandle()) {}

std::shared_ptr<Thread> Thread::Start(Body body) {
    std::shared_ptr<Thread> thread(new Thread());
    ++RunningThreads;
    try {
        std::thread([thread, body = std::move(body)]() mutable {
            std::uint32_t code = kBodyFailed;
            try {
                code = body(*thread);
            } catch (...) {
            }
            --RunningThreads;
            {
                std::lock_guard<std::mutex> guard(thread->mutex_);
                thread->exitCode_.store(code);
            }
            thread->wake_.notify_all();
        }).detach();
    } catch (const std::system_error&) {
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
