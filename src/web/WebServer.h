#pragma once
// The HTTP face of the server: a listener on the main thread whose connections hand their
// requests to the router. It serves the groups' calendars (FeedPages, CalDav), the
// administrator's status page and metrics (AdminPages), and whatever page is added to routes(). At most 64 connections are kept: beyond that the one idle the longest
// goes.
#include <QObject>
#include <QTcpServer>
#include <string>
#include <vector>

#include "web/AdminAccess.h"
#include "web/AdminSnapshot.h"
#include "web/CalDav.h"
#include "web/GroupCalendar.h"
#include "web/WebAccess.h"
#include "web/WebRouter.h"
#include "web/WebSettings.h"

namespace merivo {

class HttpConnection;

constexpr std::size_t kMaxHttpConnections = 64;

class WebServer : public QObject {
    Q_OBJECT
  public:
    // The calendars of the groups in DBTable, which must be built already.
    explicit WebServer(const WebSettings& settings, QObject* parent = nullptr);
    ~WebServer() override;

    // Listens on the settings' address and port; false, with the reason, when it cannot.
    bool start(std::string* error);
    // "address:port" as it listens (the port it got when the settings asked for 0).
    std::string where() const;
    int port() const;

    // The pages; add more before or after start().
    WebRouter& routes() { return router_; }
    std::size_t connectionCount() const { return connections_.size(); }

  private:
    void acceptPending();
    bool makeRoom();
    void dispatch(HttpConnection& connection, WebRequest request);
    void forget(HttpConnection* connection);
    // What the status pages show of the HTTP face: its address, each group's change tag and the
    // address of its feed as the caller reaches the server.
    void addWebFacts(AdminSnapshot& snapshot, const WebRequest& request);

    WebSettings settings_;
    QTcpServer listener_;
    WebAccess access_;
    CalendarSet calendars_;
    CalDav calDav_;
    AdminGate adminGate_;
    WebRouter router_;
    std::vector<HttpConnection*> connections_;
};

}  // namespace merivo
