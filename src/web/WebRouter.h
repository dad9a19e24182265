#pragma once
// Where a request goes: each page of the HTTP face is a path (or a path prefix) with a handler
// and an access rule. A new page is one add() call where the server is put together
// (WebServer's constructor, or the owner of the WebServer through routes()):
//
//   router.add("/status", WebAccessRule::Anyone, [](const WebRequest& request) {
//       if (!IsLoopback(request.peerAddress)) return WebResponse::Status(403);
//       return WebResponse::Text(200, "text/plain; charset=utf-8", "running\n");
//   });
//
// Handlers run on the main thread and answer at once; they may read data files.
#include <QByteArray>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace merivo {

// Who is asking, as far as identification found out: the user whose host matches the caller's
// address or reverse-resolved name, and the groups that have that user.
struct WebCaller {
    std::string user;         // empty: nobody known
    std::vector<int> groups;  // indexes into DBTable
    bool mayRead(int group) const;
};

struct WebRequest {
    std::string method;                         // as sent: "GET", "PROPFIND", ...
    std::string target;                         // as sent, query included
    std::string path;                           // the target up to "?", still percent-encoded
    std::vector<std::string> segments;          // the path's segments, decoded
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string peerAddress;                    // the caller's IP address
    WebCaller caller;                           // filled for pages that need it

    std::string header(const std::string& lowerCaseName) const;
};

struct WebResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    QByteArray body;  // shared, never copied on its way out

    // A status with a short text body of its own reason ("Not Found").
    static WebResponse Status(int status);
    static WebResponse Text(int status, const std::string& contentType, QByteArray body);
    WebResponse& with(std::string name, std::string value);
};

enum class WebAccessRule {
    Anyone,          // the handler decides for itself
    IdentifiedUser,  // only a caller identified as a configured user; 403 for everyone else
};

using WebHandler = std::function<WebResponse(const WebRequest&)>;

class WebRouter {
  public:
    struct Route {
        std::string path;
        bool prefix = false;
        WebAccessRule rule = WebAccessRule::Anyone;
        WebHandler handler;
    };

    // Requests for exactly this path.
    void add(std::string path, WebAccessRule rule, WebHandler handler);
    // Requests for any path that begins with this prefix; the longest matching prefix wins, and
    // an exact path wins over every prefix.
    void addPrefix(std::string prefix, WebAccessRule rule, WebHandler handler);

    const Route* find(const std::string& path) const;
    // The route of a request, with its segments filled in; nullptr for a path no page has, and
    // for one that is not a plain absolute path (a bad escape, "." or "..").
    const Route* route(WebRequest& request) const;

  private:
    std::vector<Route> routes_;
};

// ---- Paths -------------------------------------------------------------------------------------

// Percent-encodes everything but unreserved characters (RFC 3986): a path segment or a name.
std::string PercentEncode(const std::string& text);
// The decoded segments of a path ("/dav/a%20b/" gives "dav", "a b"); false when the path is
// not absolute, has a bad escape, or has a ".." or "." segment.
bool SplitPath(const std::string& path, std::vector<std::string>& segments);

}  // namespace merivo
