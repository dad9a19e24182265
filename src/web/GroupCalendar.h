#pragma once
// One group's days as calendar events, read from its data file (never the archive) from
// today - Days Back to its last day, and kept until the group's change tag moves: a refresh of a
// calendar that did not change reads no file.
#include <QByteArray>
#include <QDateTime>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "web/DayEvents.h"

namespace merivo {

struct TMyDBUser;

struct CalendarResource {
    DayEvent event;
    std::string etag;  // EventTag of the event
    // Its VEVENT text, written at the first need (so also through a const resource) and kept
    // while the event stays the same.
    mutable std::shared_ptr<const std::string> text;
};

class GroupCalendar {
  public:
    GroupCalendar(TMyDBUser& db, int daysBack);

    // The group's change tag: it moves whenever a day of the group is stored or its data file is
    // reloaded, at every start of the server and when the first day shown moves on. Reads no file.
    std::string ctag() const;
    // The WebDAV sync token of the current state (a URI).
    std::string syncToken() const { return kSyncTokenPrefix + ctag(); }
    // The entity tag of the whole calendar as one file.
    std::string feedTag() const { return "\"" + ctag() + "\""; }

    // The events as they are now; reads the data file when the change tag moved since the last
    // call. A file that cannot be read gives no events (and is read again next time); one that
    // is unavailable (being restructured, held by another process) keeps the events read last.
    const std::vector<CalendarResource>& resources();
    // The event of that UID; nullptr when there is none.
    const CalendarResource* find(const std::string& uid);
    // The event's VEVENT text.
    const std::string& eventText(const CalendarResource& resource);
    // The whole calendar as one iCalendar file; `name` is the calendar's name.
    QByteArray feedText(const std::string& name);
    // When the current events were read.
    QDateTime lastModified();

    // The UIDs and entity tags the calendar had when it gave out `token`; nothing when that
    // state is no longer known.
    std::optional<std::map<std::string, std::string>> stateAt(const std::string& token) const;

    static constexpr const char* kSyncTokenPrefix = "urn:merivo:sync:";

  private:
    void refresh();
    std::vector<CalendarResource> readEvents(std::int64_t fromDay) const;
    void keepTexts(std::vector<CalendarResource>& fresh) const;
    std::int64_t firstDay() const;

    TMyDBUser& db_;
    int daysBack_;
    std::int64_t started_;  // when this calendar came into being: a new start, a new tag
    std::string builtTag_;  // the change tag the events were read at; "" before the first read
    std::vector<CalendarResource> resources_;
    std::unordered_map<std::string, std::size_t> byUid_;
    QByteArray feed_;  // empty until asked for
    QDateTime builtAt_;
    // The states given out last, oldest first: what a sync from their tokens needs.
    std::deque<std::pair<std::string, std::map<std::string, std::string>>> history_;
};

// The calendars of the groups: one per group with an alias, by its name or its group.
struct CalendarEntry {
    int group = 0;       // index into DBTable
    std::string name;    // the alias in UTF-8
    std::string href;    // "/dav/" + the name percent-encoded + "/"
    std::unique_ptr<GroupCalendar> calendar;
};

class CalendarSet {
  public:
    explicit CalendarSet(int daysBack);
    // nullptr when no calendar has that name (or that group).
    CalendarEntry* named(const std::string& name);
    CalendarEntry* ofGroup(int group);
    std::vector<CalendarEntry>& entries() { return entries_; }

  private:
    std::vector<CalendarEntry> entries_;
};

}  // namespace merivo
