#include "web/HttpConnection.h"

#include <QDateTime>
#include <QHostAddress>
#include <QTcpSocket>
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/status.hpp>

#include "platform/CodePage.h"

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

// The path of a request target: origin form as it is, absolute form without scheme and host.
std::string PathOf(const std::string& target) {
    std::string path = target.substr(0, target.find('?'));
    const std::size_t scheme = path.find("://");
    if (scheme != std::string::npos && path.front() != '/') {
        const std::size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    return path;
}

}  // namespace

HttpConnection::HttpConnection(QTcpSocket* socket,
                               std::function<void(HttpConnection&, WebRequest)> onRequest,
                               QObject* parent)
    : QObject(parent), socket_(socket), onRequest_(std::move(onRequest)) {
    socket_->setParent(this);
    socket_->setReadBufferSize(kPieceBytes);
    peer_ = AddressText(socket_->peerAddress());
    resetParser();
    idleTimer_.setSingleShot(true);
    idleTimer_.setInterval(kIdleCloseMs);
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

void HttpConnection::resetParser() {
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(kMaxBodyBytes);
    parser_->eager(true);
    started_ = false;
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
    while (state_ == State::Reading && !input_.isEmpty()) {
        boost::beast::error_code error;
        const std::size_t used = parser_->put(
            boost::asio::const_buffer(input_.constData(), static_cast<std::size_t>(input_.size())),
            error);
        input_.remove(0, static_cast<qsizetype>(used));
        if (used > 0) started_ = true;
        if (error == http::error::need_more) {
            if (used == 0) return;
            continue;
        }
        if (error == http::error::header_limit || error == http::error::body_limit) {
            refuse(413);
            return;
        }
        if (error) {
            refuse(400);
            return;
        }
        if (parser_->is_done()) requestComplete();
    }
}

void HttpConnection::requestComplete() {
    http::request<http::string_body> message = parser_->release();
    resetParser();
    WebRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    request.path = PathOf(request.target);
    for (const auto& field : message) {
        std::string& value = request.headers[LowerAscii(std::string(field.name_string()))];
        if (!value.empty()) value += ", ";
        value += std::string(field.value());
    }
    request.body = std::move(message.body());
    request.peerAddress = peer_;
    headOnly_ = request.method == "HEAD";
    keepAlive_ = message.keep_alive();
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
