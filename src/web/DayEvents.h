#pragma once
// A day record as calendar events: one all-day event for a day whose title, memo or lists hold
// text, and one timed event for every schedule row with text. Texts come out in UTF-8.
#include <cstdint>
#include <string>
#include <vector>

#include "db/UnDBType.h"

namespace merivo {

struct DayEvent {
    std::string uid;  // stable across refreshes; letters, digits and '-' only
    std::string summary;
    std::string description;
    bool allDay = false;
    std::int64_t day = 0;        // the day (days from 30 December 1899)
    std::int64_t startUtc = 0;   // timed events: seconds since 1970 (UTC)
    std::int64_t endUtc = 0;

    bool operator==(const DayEvent&) const = default;
};

// What the events of a group's days depend on besides the day itself.
struct DayEventRules {
    std::string groupTag;       // part of every UID: the same group always gives the same tag
    int labelMinutes = 60;      // minutes between two schedule labels: (Step + 1) hours
    const DayRecord* emptyDay;  // its labels time the rows of a day that has none of its own
};

// The rules of a group: its tag made from its alias, its Step, its empty day.
DayEventRules RulesOf(const TMyDBUser& db);

std::vector<DayEvent> DayEvents(const DayRecord& day, const DayEventRules& rules);

// A schedule time as minutes after the day's midnight: "9.00", " 9.00", "14:30"; -1 when the text
// is no time.
int LabelMinutes(const std::string& text);

}  // namespace merivo
