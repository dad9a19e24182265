#include "web/CalendarFeed.h"

#include <libical/ical.h>

#include <QCryptographicHash>
#include <QDate>
#include <cstdlib>
#include <memory>

namespace merivo {

namespace {

constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;
// Day 25,569 from 30 December 1899 is 1 January 1970.
constexpr std::int64_t kUnixEpochDay = 25569;

struct ComponentFree {
    void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using Component = std::unique_ptr<icalcomponent, ComponentFree>;

icaltimetype UtcTime(std::int64_t secondsSince1970) {
    return icaltime_from_timet_with_zone(static_cast<time_t>(secondsSince1970), 0,
                                         icaltimezone_get_utc_timezone());
}

icaltimetype DateOf(std::int64_t day) {
    const QDate date = QDate(1899, 12, 30).addDays(day);
    icaltimetype time = icaltime_null_date();
    time.year = date.year();
    time.month = date.month();
    time.day = date.day();
    return time;
}

icalcomponent* NewEvent(const DayEvent& event) {
    icalcomponent* vevent = icalcomponent_new_vevent();
    icalcomponent_add_property(vevent, icalproperty_new_uid(event.uid.c_str()));
    // The stamp stays the same from one refresh to the next, so an unchanged event keeps its text.
    icalcomponent_add_property(vevent,
                               icalproperty_new_dtstamp(UtcTime((event.day - kUnixEpochDay) * kSecondsPerDay)));
    if (event.allDay) {
        icalcomponent_add_property(vevent, icalproperty_new_dtstart(DateOf(event.day)));
        icalcomponent_add_property(vevent, icalproperty_new_dtend(DateOf(event.day + 1)));
        icalcomponent_add_property(vevent, icalproperty_new_transp(ICAL_TRANSP_TRANSPARENT));
    } else {
        icalcomponent_add_property(vevent, icalproperty_new_dtstart(UtcTime(event.startUtc)));
        icalcomponent_add_property(vevent, icalproperty_new_dtend(UtcTime(event.endUtc)));
    }
    icalcomponent_add_property(vevent, icalproperty_new_summary(event.summary.c_str()));
    if (!event.description.empty())
        icalcomponent_add_property(vevent, icalproperty_new_description(event.description.c_str()));
    return vevent;
}

// The text of a component, written by libical.
std::string TextOf(icalcomponent* component) {
    char* text = icalcomponent_as_ical_string_r(component);
    std::string result = text ? text : "";
    std::free(text);
    return result;
}

}  // namespace

std::string EventText(const DayEvent& event) {
    const Component vevent(NewEvent(event));
    return TextOf(vevent.get());
}

std::string CalendarText(const std::vector<const std::string*>& eventTexts, const std::string& name) {
    const Component calendar(icalcomponent_new_vcalendar());
    icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar.get(), icalproperty_new_prodid("-//Merivo//Merivo Server//EN"));
    icalcomponent_add_property(calendar.get(), icalproperty_new_calscale("GREGORIAN"));
    if (!name.empty()) {
        icalproperty* calendarName = icalproperty_new_x(name.c_str());
        icalproperty_set_x_name(calendarName, "X-WR-CALNAME");
        icalcomponent_add_property(calendar.get(), calendarName);
    }
    // libical writes a calendar as its properties, its components' texts one after the other
    // and its END line; the events go where its (empty) list of components is.
    std::string frame = TextOf(calendar.get());
    const std::size_t end = frame.rfind("END:VCALENDAR");
    std::size_t size = frame.size();
    for (const std::string* text : eventTexts) size += text->size();
    std::string result;
    result.reserve(size);
    result.append(frame, 0, end);
    for (const std::string* text : eventTexts) result += *text;
    result.append(frame, end);
    return result;
}

std::string EventTag(const DayEvent& event) {
    QCryptographicHash hash(QCryptographicHash::Sha1);
    for (const std::string* part : {&event.uid, &event.summary, &event.description})
        hash.addData(QByteArray::fromStdString(*part).append('\0'));
    const std::int64_t times[] = {event.allDay, event.day, event.startUtc, event.endUtc};
    hash.addData(QByteArrayView(reinterpret_cast<const char*>(times), sizeof times));
    return "\"" + hash.result().toHex().left(20).toStdString() + "\"";
}

}  // namespace merivo
