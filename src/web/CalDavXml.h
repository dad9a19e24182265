#pragma once
// The XML of WebDAV and CalDAV (RFC 4918, 4791, 6578): what a PROPFIND or REPORT body asks for,
// and the 207 multistatus answer. Read with QXmlStreamReader, written with QXmlStreamWriter.
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QXmlStreamWriter;

namespace merivo {

inline const QString kDavNs = QStringLiteral("DAV:");
inline const QString kCalDavNs = QStringLiteral("urn:ietf:params:xml:ns:caldav");
inline const QString kCalServerNs = QStringLiteral("http://calendarserver.org/ns/");

struct PropName {
    QString ns;
    QString name;
    bool operator==(const PropName&) const = default;
};

// The properties asked for: all (an empty PROPFIND body, <allprop/>, <propname/>) or those named.
struct PropQuery {
    bool all = true;
    std::vector<PropName> names;
};

struct DavReport {
    enum class Kind { Multiget, Query, Sync };
    Kind kind = Kind::Multiget;
    PropQuery props;
    std::vector<std::string> hrefs;         // calendar-multiget
    std::optional<std::int64_t> rangeStart; // calendar-query time-range, seconds since 1970 UTC
    std::optional<std::int64_t> rangeEnd;
    std::string syncToken;                  // sync-collection; empty: from the beginning
};

enum class XmlVerdict { Ok, Malformed, Unsupported };

// A PROPFIND body. Malformed: not well-formed XML or no DAV:propfind inside.
XmlVerdict ParsePropfind(const std::string& body, PropQuery& query);
// A REPORT body. Unsupported: well-formed, but a report this server does not make.
XmlVerdict ParseReport(const std::string& body, DavReport& report);

// ---- The answer ------------------------------------------------------------------------------

using PropWriter = std::function<void(QXmlStreamWriter&)>;

struct DavProperty {
    PropName name;
    PropWriter write;       // writes the property element itself
    bool inAllProp = true;  // calendar-data is sent only when asked for by name
};

// One resource of a multistatus answer: its href (percent-encoded) and what it can tell.
struct DavNode {
    std::string href;
    std::vector<DavProperty> properties;
};

// A 207 body: per node the properties asked for with status 200 and those it does not have with
// 404; then one status-only response per href in `gone` (404); then the sync token, if any.
QByteArray Multistatus(const std::vector<DavNode>& nodes, const PropQuery& query,
                       const std::vector<std::string>& gone = {},
                       const std::string& syncToken = "");

// A DAV:error body with one precondition element, such as valid-sync-token.
QByteArray DavError(const QString& ns, const QString& precondition);

// Writers of common property values.
PropWriter HrefProperty(const QString& ns, const QString& name, const std::string& href);
PropWriter TextProperty(const QString& ns, const QString& name, const std::string& text);

}  // namespace merivo
