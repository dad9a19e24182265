#include "web/WebRouter.h"

#include <algorithm>
#include <cctype>
#include <boost/beast/http/status.hpp>

namespace merivo {

bool WebCaller::mayRead(int group) const {
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::string WebRequest::header(const std::string& lowerCaseName) const {
    const auto found = headers.find(lowerCaseName);
    return found == headers.end() ? "" : found->second;
}

WebResponse WebResponse::Status(int status) {
    const auto reason = boost::beast::http::obsolete_reason(static_cast<boost::beast::http::status>(status));
    return Text(status, "text/plain; charset=utf-8",
                QByteArray(reason.data(), static_cast<qsizetype>(reason.size())) + "\n");
}

WebResponse WebResponse::Text(int status, const std::string& contentType, QByteArray body) {
    WebResponse response;
    response.status = status;
    response.body = std::move(body);
    response.headers.emplace_back("Content-Type", contentType);
    return response;
}

WebResponse& WebResponse::with(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

void WebRouter::add(std::string path, WebAccessRule rule, WebHandler handler) {
    routes_.push_back({std::move(path), false, rule, std::move(handler)});
}

void WebRouter::addPrefix(std::string prefix, WebAccessRule rule, WebHandler handler) {
    routes_.push_back({std::move(prefix), true, rule, std::move(handler)});
}

const WebRouter::Route* WebRouter::find(const std::string& path) const {
    const Route* best = nullptr;
    for (const Route& route : routes_) {
        if (!route.prefix) {
            if (route.path == path) return &route;
        } else if (path.rfind(route.path, 0) == 0 &&
                   (!best || route.path.size() > best->path.size())) {
            best = &route;
        }
    }
    return best;
}

const WebRouter::Route* WebRouter::route(WebRequest& request) const {
    return SplitPath(request.path, request.segments) ? find(request.path) : nullptr;
}

std::string PercentEncode(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) && byte < 0x80) {
            encoded += c;
        } else if (c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
    }
    return encoded;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool PercentDecode(std::string_view text, std::string& decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return false;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return false;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded.find('\0') == std::string::npos;
}

}  // namespace

bool SplitPath(const std::string& path, std::vector<std::string>& segments) {
    segments.clear();
    if (path.empty() || path.front() != '/') return false;
    std::size_t start = 1;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        std::string segment;
        if (!PercentDecode(std::string_view(path).substr(start, end - start), segment)) return false;
        if (segment == "." || segment == "..") return false;
        if (!segment.empty()) segments.push_back(std::move(segment));
        start = end + 1;
    }
    return true;
}

}  // namespace merivo
