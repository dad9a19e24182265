#pragma once
// One HTTP/1.1 connection of the HTTP face: reads requests with Boost.Beast's parser from a Qt
// socket, hands each complete one to its owner and writes the answer back in pieces as the socket
// takes them. One request at a time: while one is answered, nothing more is read. Bad input gets
// an HTTP error and the connection is closed after it.
#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "web/WebRouter.h"

class QTcpSocket;

namespace merivo {

// Requests whose header or body is larger are refused with 413.
constexpr std::uint32_t kMaxHeaderBytes = 8 * 1024;
constexpr std::uint64_t kMaxBodyBytes = 64 * 1024;
// A connection that neither sends nor takes anything for this long is closed.
constexpr int kIdleCloseMs = 30000;

class HttpConnection : public QObject {
    Q_OBJECT
  public:
    // Takes the socket over; `onRequest` gets every complete request and answers it through
    // respond(), at once or later.
    HttpConnection(QTcpSocket* socket, std::function<void(HttpConnection&, WebRequest)> onRequest,
                   QObject* parent = nullptr);
    ~HttpConnection() override;

    // Answers the request last handed out. Head requests get the headers only.
    void respond(WebResponse response);

    // Waiting for a request, with nothing of one read yet.
    bool idle() const { return state_ == State::Reading && input_.isEmpty() && !started_; }
    std::int64_t lastActivity() const { return lastActivity_; }
    std::string peerAddress() const { return peer_; }
    // Closes the connection at once; closed() follows.
    void close();

  signals:
    void closed(HttpConnection* connection);

  private:
    enum class State { Reading, Answering, Writing, Closing };

    void readAvailable();
    void parseInput();
    void requestComplete();
    void refuse(int status);
    void writeMore();
    void finishResponse();
    void touch();
    void resetParser();

    QTcpSocket* socket_;
    std::function<void(HttpConnection&, WebRequest)> onRequest_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    QByteArray input_;  // read, not yet taken by the parser
    bool started_ = false;  // the parser has taken part of a request
    State state_ = State::Reading;
    bool closed_ = false;  // closed() was emitted
    bool headOnly_ = false;
    bool keepAlive_ = true;
    std::deque<QByteArray> output_;  // what is still to be written, in order
    qsizetype outputOffset_ = 0;     // written of output_.front()
    QTimer idleTimer_;
    std::int64_t lastActivity_ = 0;
    std::string peer_;
};

}  // namespace merivo
