#include "web/WebServer.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <algorithm>

#include "platform/Socket.h"
#include "web/AdminPages.h"
#include "web/FeedPages.h"
#include "web/HttpConnection.h"

namespace merivo {

WebServer::WebServer(const WebSettings& settings, QObject* parent)
    : QObject(parent),
      settings_(settings),
      access_(settings.feeds),
      calendars_(settings.daysBack),
      calDav_(calendars_),
      adminGate_(ParseAdminList(settings.admins), ResolveHost) {
    AddFeedRoutes(router_, calendars_, access_);
    calDav_.addRoutes(router_);
    AddAdminRoutes(router_, adminGate_, [this](AdminSnapshot& snapshot, const WebRequest& request) {
        addWebFacts(snapshot, request);
    });
    connect(&listener_, &QTcpServer::newConnection, this, &WebServer::acceptPending);
}

WebServer::~WebServer() {
    for (HttpConnection* connection : connections_) {
        connection->disconnect(this);
        delete connection;
    }
}

bool WebServer::start(std::string* error) {
    const QHostAddress address(QString::fromStdString(settings_.address));
    if (listener_.listen(address, static_cast<quint16>(settings_.port))) return true;
    if (error) *error = listener_.errorString().toStdString();
    return false;
}

std::string WebServer::where() const {
    return settings_.address + ":" + std::to_string(port());
}

int WebServer::port() const {
    return listener_.isListening() ? listener_.serverPort() : 0;
}

void WebServer::addWebFacts(AdminSnapshot& snapshot, const WebRequest& request) {
    snapshot.webAddress = where();
    for (std::size_t group = 0; group < snapshot.groups.size(); ++group) {
        GroupFigures& figures = snapshot.groups[group];
        if (CalendarEntry* entry = calendars_.ofGroup(static_cast<int>(group))) {
            figures.ctag = entry->calendar->ctag();
        }
        for (const WebFeed& feed : settings_.feeds) {
            if (feed.group != static_cast<int>(group) || request.header("host").empty()) continue;
            figures.feedUrl =
                "http://" + request.header("host") + "/feeds/" + PercentEncode(feed.key) + ".ics";
        }
    }
}

void WebServer::acceptPending() {
    while (QTcpSocket* socket = listener_.nextPendingConnection()) {
        if (!makeRoom()) {
            socket->abort();
            delete socket;
            continue;
        }
        auto* connection = new HttpConnection(
            socket,
            [this](HttpConnection& from, WebRequest request) {
                dispatch(from, std::move(request));
            },
            settings_.idleCloseMs, this);
        connect(connection, &HttpConnection::closed, this, &WebServer::forget);
        connections_.push_back(connection);
    }
}

// Below the limit, or the connection idle the longest closed; false when every one is busy.
bool WebServer::makeRoom() {
    if (connections_.size() < kMaxHttpConnections) return true;
    HttpConnection* oldest = nullptr;
    for (HttpConnection* connection : connections_) {
        if (connection->idle() && (!oldest || connection->lastActivity() < oldest->lastActivity()))
            oldest = connection;
    }
    if (!oldest) return false;
    oldest->close();
    return true;
}

void WebServer::forget(HttpConnection* connection) {
    std::erase(connections_, connection);
    connection->deleteLater();
}

void WebServer::dispatch(HttpConnection& connection, WebRequest request) {
    const WebRouter::Route* route = router_.route(request);
    if (!route) {
        connection.respond(WebResponse::Status(404));
        return;
    }
    if (route->rule == WebAccessRule::Anyone) {
        connection.respond(route->handler(request));
        return;
    }
    // The handler is copied: a page added while the caller is identified may move the routes.
    QPointer<HttpConnection> waiting(&connection);
    const std::string address = request.peerAddress;
    access_.identify(address, [waiting, handler = route->handler,
                               request = std::move(request)](const WebCaller& caller) mutable {
        if (!waiting) return;
        if (caller.user.empty()) {
            waiting->respond(WebResponse::Status(403));
            return;
        }
        request.caller = caller;
        waiting->respond(handler(request));
    });
}

}  // namespace merivo
