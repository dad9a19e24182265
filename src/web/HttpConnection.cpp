#include "web/HttpConnection.h"

#include <QDateTime>
#include <QHostAddress>
#include <QTcpSocket>
#include <boost/beast/http/status.hpp>

#include "web/Metrics.h"

namespace merivo {

namespace http = boost::beast::http;

namespace {

// Read and written in pieces of this size, so that one connection never holds much more.
constexpr qint64 kPieceBytes = 64 * 1024;

std::string AddressText(const QHostAddress& address) {
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    return (isIpv4 ? QHostAddress(ipv4) : address).toString().toStdString();
}

}  // namespace

HttpConnection::HttpConnection(QTcpSocket* socket,
                               std::function<void(HttpConnection&, WebRequest)> onRequest,
                               int idleCloseMs, QObject* parent)
    : QObject(parent), socket_(socket), onRequest_(std::move(onRequest)) {
    socket_->setParent(this);
    socket_->setReadBufferSize(kPieceBytes);
    peer_ = AddressText(socket_->peerAddress());
    idleTimer_.setSingleShot(true);
    idleTimer_.setInterval(idleCloseMs);
    connect(&idleTimer_, &QTimer::timeout, this, &HttpConnection::close);
    connect(socket_, &QTcpSocket::readyRead, this, &HttpConnection::readAvailable);
    connect(socket_, &QTcpSocket::bytesWritten, this, &HttpConnection::writeMore);
    connect(socket_, &QTcpSocket::disconnected, this, &HttpConnection::close);
    connect(socket_, &QTcpSocket::errorOccurred, this, &HttpConnection::close);
    touch();
}

HttpConnection::~HttpConnection() = default;

void HttpConnection::touch() {
    lastActivity_ = QDateTime::currentMSecsSinceEpoch();
    idleTimer_.start();
}

void HttpConnection::close() {
    if (closed_) return;
    closed_ = true;
    state_ = State::Closing;
    idleTimer_.stop();
    socket_->disconnect(this);
    socket_->abort();
    emit closed(this);
}

void HttpConnection::readAvailable() {
    parseInput();
    while (state_ == State::Reading && socket_->bytesAvailable() > 0) {
        input_ += socket_->read(kPieceBytes);
        touch();
        parseInput();
    }
}

void HttpConnection::parseInput() {
    if (state_ != State::Reading || input_.isEmpty()) return;
    switch (reader_.read(input_)) {
        case HttpRequestReader::Result::NeedMore: return;
        case HttpRequestReader::Result::Refused: refuse(reader_.refusal()); return;
        case HttpRequestReader::Result::Complete: break;
    }
    WebRequest request = reader_.take();
    request.peerAddress = peer_;
    headOnly_ = request.method == "HEAD";
    keepAlive_ = reader_.keepAlive();
    state_ = State::Answering;
    onRequest_(*this, std::move(request));
}

void HttpConnection::refuse(int status) {
    keepAlive_ = false;
    headOnly_ = false;
    input_.clear();
    state_ = State::Answering;
    respond(WebResponse::Status(status));
}

void HttpConnection::respond(WebResponse response) {
    if (state_ != State::Answering) return;
    CountHttpStatus(response.status);
    const auto reason = http::obsolete_reason(static_cast<http::status>(response.status));
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " " +
                      QByteArray(reason.data(), static_cast<qsizetype>(reason.size())) + "\r\n";
    for (const auto& [name, value] : response.headers)
        head += QByteArray::fromStdString(name) + ": " + QByteArray::fromStdString(value) + "\r\n";
    const bool bodyless = response.status == 304 || response.status == 204;
    if (!bodyless) head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (!keepAlive_) head += "Connection: close\r\n";
    head += "\r\n";
    output_.push_back(head);
    if (!headOnly_ && !bodyless && !response.body.isEmpty()) output_.push_back(response.body);
    state_ = State::Writing;
    writeMore();
}

void HttpConnection::writeMore() {
    if (state_ != State::Writing) return;
    touch();
    while (!output_.empty() && socket_->bytesToWrite() < kPieceBytes) {
        const QByteArray& front = output_.front();
        const qint64 piece = std::min<qint64>(kPieceBytes, front.size() - outputOffset_);
        const qint64 written = socket_->write(front.constData() + outputOffset_, piece);
        if (written < 0) {
            close();
            return;
        }
        outputOffset_ += written;
        if (outputOffset_ == front.size()) {
            output_.pop_front();
            outputOffset_ = 0;
        }
    }
    if (output_.empty() && socket_->bytesToWrite() == 0) finishResponse();
}

void HttpConnection::finishResponse() {
    if (!keepAlive_) {
        state_ = State::Closing;
        socket_->disconnectFromHost();
        return;
    }
    state_ = State::Reading;
    // The next request may wait in what was read already: taken up in the next turn of the event
    // loop, so that a run of pipelined requests never nests.
    QMetaObject::invokeMethod(this, &HttpConnection::readAvailable, Qt::QueuedConnection);
}

}  // namespace merivo
