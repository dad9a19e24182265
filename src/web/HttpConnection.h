#pragma once
// One HTTP/1.1 connection of the HTTP face: reads requests with Boost.Beast's parser from a Qt
// socket, hands each complete one to its owner and writes the answer back in pieces as the socket
// takes them. One request at a time: while one is answered, nothing more is read. Bad input gets
// an HTTP error and the connection is closed after it.
#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>

#include "web/HttpRequestReader.h"
#include "web/WebRouter.h"

class QTcpSocket;

namespace merivo {

class HttpConnection : public QObject {
    Q_OBJECT
  public:
    // Takes the socket over; `onRequest` gets every complete request and answers it through
    // respond(), at once or later. The connection closes after idleCloseMs without traffic.
    HttpConnection(QTcpSocket* socket, std::function<void(HttpConnection&, WebRequest)> onRequest,
                   int idleCloseMs, QObject* parent = nullptr);
    ~HttpConnection() override;

    // Answers the request last handed out. Head requests get the headers only.
    void respond(WebResponse response);

    // Waiting for a request, with nothing of one read yet.
    bool idle() const { return state_ == State::Reading && input_.isEmpty() && !reader_.started(); }
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
    void refuse(int status);
    void writeMore();
    void finishResponse();
    void touch();

    QTcpSocket* socket_;
    std::function<void(HttpConnection&, WebRequest)> onRequest_;
    HttpRequestReader reader_;
    QByteArray input_;  // read, not yet taken by the reader
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
