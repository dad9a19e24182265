// The HTTP face: any bytes on a connection, read into requests and answered by the calendars'
// pages as for the user alice (or anyone, for the pages that need no identification), against
// the small loaded database of the fuzz world.
//
// Input: one byte choosing how many bytes the connection delivers at a time (1 to 256), then the
// bytes of the connection. Every answer must have an HTTP status; a multistatus must be
// well-formed XML and calendar data an iCalendar text.
#include <QXmlStreamReader>

#include "FuzzSupport.h"
#include "web/CalDav.h"
#include "web/FeedPages.h"
#include "web/HttpRequestReader.h"
#include "web/WebAccess.h"

namespace {

using namespace merivo;
using namespace merivo::fuzz;

constexpr int kMaxRequests = 8;

void CheckAnswer(const WebResponse& response) {
    Check(response.status >= 200 && response.status < 600, "an HTTP status");
    if (response.status == 207) {
        QXmlStreamReader xml(response.body);
        while (!xml.atEnd()) xml.readNext();
        Check(!xml.hasError(), "a well-formed multistatus");
    }
    if (response.status == 200 && !response.body.isEmpty() && response.body.startsWith("BEGIN:")) {
        Check(response.body.startsWith("BEGIN:VCALENDAR\r\n"), "an iCalendar text");
        Check(!response.body.contains("VTIMEZONE"), "no time zone component");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);
    const std::size_t piece = 1 + input.byte();
    World::Reset({});
    CalendarSet calendars(30);
    WebAccess access({{0, "0123456789abcdefKEY"}});
    CalDav calDav(calendars);
    WebRouter router;
    AddFeedRoutes(router, calendars, access);
    calDav.addRoutes(router);
    const WebCaller alice = CallerOfHost("127.0.0.2");

    HttpRequestReader reader;
    QByteArray pending;
    int answered = 0;
    while (input.left() > 0 && answered < kMaxRequests) {
        const Bytes bytes = input.take(piece);
        pending.append(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
        const HttpRequestReader::Result result = reader.read(pending);
        if (result == HttpRequestReader::Result::Refused) {
            Check(reader.refusal() == 400 || reader.refusal() == 413, "400 or 413 for what is no request");
            break;
        }
        if (result == HttpRequestReader::Result::NeedMore) continue;
        WebRequest request = reader.take();
        ++answered;
        const WebRouter::Route* route = router.route(request);
        if (!route) continue;
        if (route->rule == WebAccessRule::IdentifiedUser) request.caller = alice;
        CheckAnswer(route->handler(request));
    }
    return 0;
}
