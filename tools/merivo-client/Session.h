#pragma once
// A connected user: waits for the server's user list before any request, so that the server
// counts it as online and its answers are not dropped.
#include <chrono>
#include <optional>
#include <vector>

#include "Arguments.h"
#include "Packages.h"
#include "client/MerivoClient.h"

namespace merivo::cli {

// The code of an answer and, for the answers with code 2000, its subcode.
struct AnswerKind {
    std::int32_t code;
    std::int32_t subcode = -1;  // any

    bool matches(const Package& p) const {
        return Word(p, 0) == code && (subcode == -1 || Word(p, 4) == subcode);
    }
};
constexpr AnswerKind kDaysRead{kAnswerCode, 1};
constexpr AnswerKind kDaysCopied{kAnswerCode, 2};
constexpr AnswerKind kRowIdGiven{kAnswerCode, 4};
constexpr AnswerKind kUndone{kUndoCode};
constexpr AnswerKind kNotStored{kNotStoredCode};

class Session {
  public:
    explicit Session(const Options& options);

    void send(const Package& payload) { client_.sendPackage(payload); }

    // The first package that matches within the time-out; others are skipped.
    template <class Match>
    std::optional<Package> waitFor(Match match) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            std::optional<Package> p = client_.receivePackage(static_cast<int>(left.count()));
            if (!p) return std::nullopt;
            if (match(*p)) return p;
        }
    }

    // Sends a request and waits for the first package of one of the kinds it is answered with.
    Package answer(const Package& request, const std::vector<AnswerKind>& kinds);

    MerivoClient& client() { return client_; }

  private:
    MerivoClient client_;
    int timeoutMs_;
};

}  // namespace merivo::cli
