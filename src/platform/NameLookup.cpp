#include "platform/NameLookup.h"

#include <atomic>
#include <system_error>
#include <thread>

#include "platform/Log.h"

namespace merivo {

namespace {
std::atomic<int> RunningLookups{0};
}  // namespace

std::shared_ptr<NameLookup> NameLookup::Start(LookupFunction function, std::string text,
                                              int limit) {
    if (++RunningLookups > limit) {
        --RunningLookups;
        return nullptr;
    }
    std::shared_ptr<NameLookup> lookup(new NameLookup());
    try {
        std::thread([lookup, function = std::move(function), text = std::move(text)] {
            std::optional<std::string> answer;
            try {
                answer = function(text);
            } catch (...) {
                DebugLog("Name look-up of " + text + ": " + CaughtText());  // it answers nothing
            }
            --RunningLookups;
            lookup->finish(std::move(answer));
        }).detach();
    } catch (const std::system_error&) {
        --RunningLookups;
        return nullptr;
    }
    return lookup;
}

void NameLookup::finish(std::optional<std::string> answer) {
    MutexLock guard(mutex_);
    answer_ = std::move(answer);
    done_ = true;
}

bool NameLookup::done() const {
    MutexLock guard(mutex_);
    return done_;
}

std::optional<std::string> NameLookup::answer() const {
    MutexLock guard(mutex_);
    return answer_;
}

int RunningLookupCount() {
    return RunningLookups.load();
}

}  // namespace merivo
