#include "web/CalDavXml.h"

#include <QDateTime>
#include <QTimeZone>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace merivo {

namespace {

const PropName kPropElement{kDavNs, QStringLiteral("prop")};
const PropName kAllProp{kDavNs, QStringLiteral("allprop")};
const PropName kPropNames{kDavNs, QStringLiteral("propname")};
const PropName kHref{kDavNs, QStringLiteral("href")};
const PropName kSyncToken{kDavNs, QStringLiteral("sync-token")};
const PropName kTimeRange{kCalDavNs, QStringLiteral("time-range")};

// A UTC time of a time-range ("20240131T000000Z"); nothing when it is no such time.
std::optional<std::int64_t> UtcTimeOf(const QString& text) {
    QDateTime time = QDateTime::fromString(text, QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    if (!time.isValid()) return std::nullopt;
    time.setTimeZone(QTimeZone::utc());
    return time.toSecsSinceEpoch();
}

// What one pass over a body found.
struct BodyContents {
    PropName root;
    PropQuery props;
    std::vector<std::string> hrefs;
    std::string syncToken;
    std::optional<std::int64_t> rangeStart, rangeEnd;
    bool badTime = false;
};

bool ReadRange(const QXmlStreamAttributes& attributes, BodyContents& contents) {
    for (const char* which : {"start", "end"}) {
        const QString text = attributes.value(QString::fromLatin1(which)).toString();
        if (text.isEmpty()) continue;
        const std::optional<std::int64_t> time = UtcTimeOf(text);
        if (!time) return false;
        (which[0] == 's' ? contents.rangeStart : contents.rangeEnd) = time;
    }
    return true;
}

// One pass over the body: the root element, the properties named in its DAV:prop, its hrefs and
// sync token, and a time-range anywhere in it. False when the XML is not well-formed.
bool ReadBody(const std::string& body, BodyContents& contents) {
    QXmlStreamReader xml(QByteArray::fromStdString(body));
    int depth = 0;
    bool inProp = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement()) {
            if (depth == 2) inProp = false;
            --depth;
            continue;
        }
        if (!xml.isStartElement()) continue;
        ++depth;
        const PropName here{xml.namespaceUri().toString(), xml.name().toString()};
        if (depth == 1) {
            contents.root = here;
        } else if (depth == 2 && here == kPropElement) {
            contents.props.all = false;
            inProp = true;
        } else if (depth == 2 && (here == kAllProp || here == kPropNames)) {
            contents.props.all = true;
        } else if (depth == 2 && (here == kHref || here == kSyncToken)) {
            const std::string text = xml.readElementText().trimmed().toStdString();
            --depth;
            if (here == kHref) {
                contents.hrefs.push_back(text);
            } else {
                contents.syncToken = text;
            }
        } else if (depth == 3 && inProp) {
            contents.props.names.push_back(here);
        } else if (here == kTimeRange && !ReadRange(xml.attributes(), contents)) {
            contents.badTime = true;
        }
    }
    return !xml.hasError() && !contents.badTime && !contents.root.name.isEmpty();
}

bool Blank(const std::string& body) {
    return body.find_first_not_of(" \t\r\n") == std::string::npos;
}

void WriteStatus(QXmlStreamWriter& xml, const char* status) {
    xml.writeTextElement(kDavNs, QStringLiteral("status"), QString::fromLatin1(status));
}

void WriteHref(QXmlStreamWriter& xml, const std::string& href) {
    xml.writeTextElement(kDavNs, QStringLiteral("href"), QString::fromStdString(href));
}

void WritePropstat(QXmlStreamWriter& xml, const std::vector<const DavProperty*>& found) {
    xml.writeStartElement(kDavNs, QStringLiteral("propstat"));
    xml.writeStartElement(kDavNs, QStringLiteral("prop"));
    for (const DavProperty* property : found) property->write(xml);
    xml.writeEndElement();
    WriteStatus(xml, "HTTP/1.1 200 OK");
    xml.writeEndElement();
}

void WriteMissing(QXmlStreamWriter& xml, const std::vector<PropName>& missing) {
    xml.writeStartElement(kDavNs, QStringLiteral("propstat"));
    xml.writeStartElement(kDavNs, QStringLiteral("prop"));
    for (const PropName& name : missing) xml.writeEmptyElement(name.ns, name.name);
    xml.writeEndElement();
    WriteStatus(xml, "HTTP/1.1 404 Not Found");
    xml.writeEndElement();
}

void WriteNode(QXmlStreamWriter& xml, const DavNode& node, const PropQuery& query) {
    std::vector<const DavProperty*> found;
    std::vector<PropName> missing;
    if (query.all) {
        for (const DavProperty& property : node.properties)
            if (property.inAllProp) found.push_back(&property);
    } else {
        for (const PropName& name : query.names) {
            const auto property = std::find_if(node.properties.begin(), node.properties.end(),
                                               [&](const DavProperty& p) { return p.name == name; });
            if (property != node.properties.end()) {
                found.push_back(&*property);
            } else {
                missing.push_back(name);
            }
        }
    }
    xml.writeStartElement(kDavNs, QStringLiteral("response"));
    WriteHref(xml, node.href);
    if (!found.empty() || missing.empty()) WritePropstat(xml, found);
    if (!missing.empty()) WriteMissing(xml, missing);
    xml.writeEndElement();
}

void StartDocument(QXmlStreamWriter& xml, const QString& ns, const QString& root) {
    xml.writeStartDocument();
    xml.writeNamespace(kDavNs, QStringLiteral("d"));
    xml.writeNamespace(kCalDavNs, QStringLiteral("cal"));
    xml.writeNamespace(kCalServerNs, QStringLiteral("cs"));
    xml.writeStartElement(ns, root);
}

}  // namespace

XmlVerdict ParsePropfind(const std::string& body, PropQuery& query) {
    query = PropQuery{};
    if (Blank(body)) return XmlVerdict::Ok;
    BodyContents contents;
    if (!ReadBody(body, contents)) return XmlVerdict::Malformed;
    if (!(contents.root == PropName{kDavNs, QStringLiteral("propfind")})) return XmlVerdict::Malformed;
    query = contents.props;
    return XmlVerdict::Ok;
}

XmlVerdict ParseReport(const std::string& body, DavReport& report) {
    report = DavReport{};
    BodyContents contents;
    if (!ReadBody(body, contents)) return XmlVerdict::Malformed;
    if (contents.root == PropName{kCalDavNs, QStringLiteral("calendar-multiget")}) {
        report.kind = DavReport::Kind::Multiget;
    } else if (contents.root == PropName{kCalDavNs, QStringLiteral("calendar-query")}) {
        report.kind = DavReport::Kind::Query;
    } else if (contents.root == PropName{kDavNs, QStringLiteral("sync-collection")}) {
        report.kind = DavReport::Kind::Sync;
    } else {
        return XmlVerdict::Unsupported;
    }
    report.props = contents.props;
    report.hrefs = std::move(contents.hrefs);
    report.rangeStart = contents.rangeStart;
    report.rangeEnd = contents.rangeEnd;
    report.syncToken = std::move(contents.syncToken);
    return XmlVerdict::Ok;
}

QByteArray Multistatus(const std::vector<DavNode>& nodes, const PropQuery& query,
                       const std::vector<std::string>& gone, const std::string& syncToken) {
    QByteArray body;
    QXmlStreamWriter xml(&body);
    StartDocument(xml, kDavNs, QStringLiteral("multistatus"));
    for (const DavNode& node : nodes) WriteNode(xml, node, query);
    for (const std::string& href : gone) {
        xml.writeStartElement(kDavNs, QStringLiteral("response"));
        WriteHref(xml, href);
        WriteStatus(xml, "HTTP/1.1 404 Not Found");
        xml.writeEndElement();
    }
    if (!syncToken.empty())
        xml.writeTextElement(kDavNs, QStringLiteral("sync-token"), QString::fromStdString(syncToken));
    xml.writeEndElement();
    xml.writeEndDocument();
    return body;
}

QByteArray DavError(const QString& ns, const QString& precondition) {
    QByteArray body;
    QXmlStreamWriter xml(&body);
    StartDocument(xml, kDavNs, QStringLiteral("error"));
    xml.writeEmptyElement(ns, precondition);
    xml.writeEndElement();
    xml.writeEndDocument();
    return body;
}

PropWriter HrefProperty(const QString& ns, const QString& name, const std::string& href) {
    return [ns, name, href](QXmlStreamWriter& xml) {
        xml.writeStartElement(ns, name);
        WriteHref(xml, href);
        xml.writeEndElement();
    };
}

PropWriter TextProperty(const QString& ns, const QString& name, const std::string& text) {
    return [ns, name, text](QXmlStreamWriter& xml) {
        xml.writeTextElement(ns, name, QString::fromStdString(text));
    };
}

}  // namespace merivo
