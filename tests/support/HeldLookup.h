#pragma once
// A name look-up that answers only when the test lets it go, for tests of slow name servers.
// The look-up shares its state, so one that the server gave up on may still end after the test.
//
//   HeldLookup lookup("slowhost.example");
//   PeerNameLookup = lookup.function();
//   ...
//   lookup.release();  // also done when it goes
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/NameLookup.h"

namespace merivo {

class HeldLookup {
  public:
    explicit HeldLookup(std::optional<std::string> answer = std::nullopt)
        : state_(std::make_shared<State>()) {
        state_->answer = std::move(answer);
    }
    ~HeldLookup() { release(); }
    HeldLookup(const HeldLookup&) = delete;
    HeldLookup& operator=(const HeldLookup&) = delete;

    LookupFunction function() const {
        return [state = state_](const std::string&) {
            std::unique_lock<std::mutex> lock(state->mutex);
            ++state->calls;
            state->changed.wait_for(lock, std::chrono::seconds(30),
                                    [&] { return state->released; });
            return state->answer;
        };
    }
    void release() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->released = true;
        state_->changed.notify_all();
    }
    int calls() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->calls;
    }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        int calls = 0;
        std::optional<std::string> answer;
    };
    std::shared_ptr<State> state_;
};

// Puts a look-up in place of another for the life of the object.
class ScopedLookup {
  public:
    using Function = LookupFunction;
    ScopedLookup(Function& slot, Function replacement) : slot_(slot), saved_(slot) {
        slot_ = std::move(replacement);
    }
    ~ScopedLookup() { slot_ = saved_; }
    ScopedLookup(const ScopedLookup&) = delete;
    ScopedLookup& operator=(const ScopedLookup&) = delete;

  private:
    Function& slot_;
    Function saved_;
};

}  // namespace merivo
