#include "web/HttpRequestReader.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>

#include "platform/CodePage.h"

namespace merivo {

namespace http = boost::beast::http;

namespace {

// The path of a request target: origin form as it is, absolute form without scheme and host.
std::string PathOf(const std::string& target) {
    std::string path = target.substr(0, target.find('?'));
    const std::size_t scheme = path.find("://");
    if (scheme != std::string::npos && !path.starts_with('/')) {
        const std::size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    return path;
}

}  // namespace

void HttpRequestReader::reset() {
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(kMaxBodyBytes);
    parser_->eager(true);
    started_ = false;
}

HttpRequestReader::Result HttpRequestReader::read(QByteArray& input) {
    while (!input.isEmpty()) {
        boost::beast::error_code error;
        const std::size_t used = parser_->put(
            boost::asio::const_buffer(input.constData(), static_cast<std::size_t>(input.size())), error);
        input.remove(0, static_cast<qsizetype>(used));
        if (used > 0) started_ = true;
        if (error == http::error::need_more) {
            if (used == 0) break;
            continue;
        }
        if (error) {
            const bool tooLarge = error == http::error::header_limit || error == http::error::body_limit;
            refusal_ = tooLarge ? 413 : 400;
            return Result::Refused;
        }
        if (parser_->is_done()) return Result::Complete;
    }
    if (!input.isEmpty()) started_ = true;
    return Result::NeedMore;
}

WebRequest HttpRequestReader::take() {
    http::request<http::string_body> message = parser_->release();
    reset();
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
    keepAlive_ = message.keep_alive();
    return request;
}

}  // namespace merivo
