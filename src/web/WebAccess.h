#pragma once
// Who may read what. A caller is identified as the protocol identifies its connections: its
// address is a user's host, or else the name a reverse look-up gives it is. The look-up runs on a
// thread of its own; the main thread only looks now and then whether it has answered. What an
// address turned out to be is kept for a while, so that a calendar program's refreshes cost no
// look-up each.
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "web/WebRouter.h"
#include "web/WebSettings.h"

namespace merivo {

class NameLookup;

class WebAccess : public QObject {
    Q_OBJECT
  public:
    explicit WebAccess(std::vector<WebFeed> feeds, QObject* parent = nullptr);
    ~WebAccess() override;

    // Calls `done` with what the caller at `address` is: at once when the address is a user's
    // host or was identified lately, else once its reverse look-up has answered or timed out.
    void identify(const std::string& address, std::function<void(const WebCaller&)> done);

    // The group that a feed key opens; -1 for a key of no feed.
    int groupOfFeedKey(const std::string& key) const;

    // How long an identification is kept.
    static constexpr std::int64_t kKeepMs = 60000;

  private:
    struct Pending {
        std::shared_ptr<NameLookup> lookup;
        std::int64_t started = 0;
        std::vector<std::function<void(const WebCaller&)>> waiting;
    };
    struct Known {
        WebCaller caller;
        std::int64_t until = 0;
    };

    void pollLookups();
    void remember(const std::string& address, const WebCaller& caller);

    std::vector<WebFeed> feeds_;
    std::map<std::string, Known> known_;
    std::map<std::string, Pending> pending_;
    QTimer poll_;
};

// The caller whose address or name is `host`: the first valid user with that host and the
// groups that have a user of that host.
WebCaller CallerOfHost(const std::string& host);

}  // namespace merivo
