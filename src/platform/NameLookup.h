#pragma once
// Name look-ups, forward and reverse, wait for a name server that may be slow or silent. Each
// runs on a thread of its own, so that whoever needs the answer can stop waiting for it.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Locks.h"

namespace merivo {

// A look-up: a name or an address in, the answer out (none when there is none). May block.
using LookupFunction = std::function<std::optional<std::string>(const std::string&)>;

// One look-up on its own thread. Whoever started it polls done(); it may stop waiting at any
// time: the thread then ends on its own, when the look-up returns, and its answer is dropped.
class NameLookup {
  public:
    // Starts function(text); nullptr when `limit` look-ups are running already (those given up
    // on included) or no thread can be started. The function is copied: the thread never
    // touches anything of its caller.
    static std::shared_ptr<NameLookup> Start(LookupFunction function, std::string text, int limit);

    bool done() const;
    std::optional<std::string> answer() const;  // none until done

  private:
    NameLookup() = default;
    void finish(std::optional<std::string> answer);

    mutable Mutex mutex_ LEAF_LOCK;
    bool done_ GUARDED_BY(mutex_) = false;
    std::optional<std::string> answer_ GUARDED_BY(mutex_);
};

// Look-ups whose function has not returned yet.
int RunningLookupCount();

}  // namespace merivo
