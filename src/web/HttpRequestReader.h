#pragma once
// Requests out of the bytes of one HTTP/1.1 connection, read with Boost.Beast's parser: one after
// the other, each with at most 8 KB of header and 64 KB of body.
#include <QByteArray>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <optional>

#include "web/WebRouter.h"

namespace merivo {

// Requests whose header or body is larger are refused with 413.
constexpr std::uint32_t kMaxHeaderBytes = 8 * 1024;
constexpr std::uint64_t kMaxBodyBytes = 64 * 1024;

class HttpRequestReader {
  public:
    enum class Result { NeedMore, Complete, Refused };

    HttpRequestReader() { reset(); }

    // Takes from the front of `input` what belongs to the request being read. Complete: take()
    // gives it, and the rest of `input` belongs to the next one. Refused: the bytes are no
    // request (refusal() says 400 or 413) and nothing after them can be read.
    Result read(QByteArray& input);
    // The request just completed, with its target split into path (segments are left to the
    // router); the reader starts on the next one.
    WebRequest take();
    int refusal() const { return refusal_; }
    // The last request taken lets the connection go on (HTTP/1.1 without "Connection: close").
    bool keepAlive() const { return keepAlive_; }
    // Part of a request has been read.
    bool started() const { return started_; }

  private:
    void reset();

    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    bool started_ = false;
    bool keepAlive_ = true;
    int refusal_ = 0;
};

}  // namespace merivo
