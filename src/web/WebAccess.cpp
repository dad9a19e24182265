#include "web/WebAccess.h"

#include <QDateTime>

#include "db/UnDBType.h"
#include "net/UnSockSr.h"
#include "platform/CodePage.h"
#include "platform/NameLookup.h"

namespace merivo {

namespace {

// How often the main thread looks whether a look-up has answered.
constexpr int kLookupPollMs = 10;
// Identifications kept at most; beyond it the expired ones go, and then all.
constexpr std::size_t kMaxKnown = 4096;

std::int64_t NowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// Compares without telling by its time how much of a key was right.
bool SameKey(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

}  // namespace

WebCaller CallerOfHost(const std::string& host) {
    WebCaller caller;
    if (host.empty()) return caller;
    const std::string wanted = LowerAscii(host);
    ForEachUser([&](TMyNameUser& user) {
        if (!user.valid || user.host != wanted) return;
        if (caller.user.empty()) caller.user = user.name;
        if (!caller.mayRead(user.databaseNumber)) caller.groups.push_back(user.databaseNumber);
    });
    return caller;
}

WebAccess::WebAccess(std::vector<WebFeed> feeds, QObject* parent)
    : QObject(parent), feeds_(std::move(feeds)) {
    poll_.setInterval(kLookupPollMs);
    connect(&poll_, &QTimer::timeout, this, &WebAccess::pollLookups);
}

WebAccess::~WebAccess() = default;

int WebAccess::groupOfFeedKey(const std::string& key) const {
    int group = -1;
    for (const WebFeed& feed : feeds_) {
        if (SameKey(feed.key, key) && group < 0) group = feed.group;
    }
    return group;
}

void WebAccess::identify(const std::string& address, std::function<void(const WebCaller&)> done) {
    const auto known = known_.find(address);
    if (known != known_.end() && known->second.until > NowMs()) {
        done(known->second.caller);
        return;
    }
    WebCaller byAddress = CallerOfHost(address);
    if (!byAddress.user.empty()) {
        remember(address, byAddress);
        done(byAddress);
        return;
    }
    auto waiting = pending_.find(address);
    if (waiting == pending_.end()) {
        std::shared_ptr<NameLookup> lookup = NameLookup::Start(PeerNameLookup, address, kMaxPeerLookups);
        if (!lookup) {
            // Too many look-ups are running: the address alone decides, as for the protocol.
            done(byAddress);
            return;
        }
        waiting = pending_.emplace(address, Pending{lookup, NowMs(), {}}).first;
        poll_.start();
    }
    waiting->second.waiting.push_back(std::move(done));
}

void WebAccess::pollLookups() {
    const std::int64_t now = NowMs();
    for (auto it = pending_.begin(); it != pending_.end();) {
        Pending& pending = it->second;
        const bool answered = pending.lookup->done();
        if (!answered && now - pending.started < static_cast<std::int64_t>(kNameLookupTimeoutMs)) {
            ++it;
            continue;
        }
        const std::optional<std::string> name = answered ? pending.lookup->answer() : std::nullopt;
        const WebCaller caller = name ? CallerOfHost(*name) : WebCaller{};
        remember(it->first, caller);
        std::vector<std::function<void(const WebCaller&)>> waiting = std::move(pending.waiting);
        it = pending_.erase(it);
        for (auto& done : waiting) done(caller);
    }
    if (pending_.empty()) poll_.stop();
}

void WebAccess::remember(const std::string& address, const WebCaller& caller) {
    if (known_.size() >= kMaxKnown) {
        const std::int64_t now = NowMs();
        std::erase_if(known_, [now](const auto& entry) { return entry.second.until <= now; });
        if (known_.size() >= kMaxKnown) known_.clear();
    }
    known_[address] = {caller, NowMs() + kKeepMs};
}

}  // namespace merivo
