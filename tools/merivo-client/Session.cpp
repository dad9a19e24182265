#include "Session.h"

#include <string>

#include "db/UnDBType_Packages.h"

namespace merivo::cli {

Session::Session(const Options& options) : client_(options.client), timeoutMs_(options.timeoutMs) {
    client_.connect(timeoutMs_);
    if (!waitFor([](const Package& p) { return Word(p, 0) == kUserListCode; })) {
        throw CommandError("the server did not send the user list within " +
                           std::to_string(timeoutMs_) + " ms");
    }
}

Package Session::answer(const Package& request, const std::vector<AnswerKind>& kinds) {
    send(request);
    std::optional<Package> p = waitFor([&](const Package& q) {
        for (const AnswerKind& kind : kinds) {
            if (kind.matches(q)) return true;
        }
        return false;
    });
    if (!p) throw CommandError("no answer within " + std::to_string(timeoutMs_) + " ms");
    return *p;
}

}  // namespace merivo::cli
