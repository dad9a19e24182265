#include "web/GroupCalendar.h"

#include <algorithm>

#include "db/UnDBType.h"
#include "db/UnDBserv.h"
#include "db/UnSFile.h"
#include "platform/DateTime.h"
#include "platform/Log.h"
#include "platform/CodePage.h"
#include "web/CalendarFeed.h"
#include "web/WebRouter.h"

namespace merivo {

namespace {

// Records read with one read: large enough to keep the reads few, small enough to hold little.
constexpr std::int64_t kRecordsPerRead = 16;
// Sync tokens whose state is kept: a client that syncs every few minutes finds its token
// among them unless many days were stored meanwhile; otherwise it lists the calendar anew.
constexpr std::size_t kSyncHistory = 16;

// The first record whose day is not before `day`, by halving (the records are in date order).
std::int64_t FirstRecordFrom(File& file, std::int64_t day) {
    std::int64_t low = 0;
    std::int64_t high = RecordCount(file);
    while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        if (DayAt(file, middle) < day) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

void AddEvents(const DayRecord& record, std::int64_t fromDay, const DayEventRules& rules,
               std::vector<CalendarResource>& resources) {
    if (DayOf(record.date()) < fromDay) return;
    for (DayEvent& event : DayEvents(record, rules)) {
        std::string etag = EventTag(event);
        resources.push_back({std::move(event), std::move(etag), nullptr});
    }
}

}  // namespace

GroupCalendar::GroupCalendar(TMyDBUser& db, int daysBack)
    : db_(db), daysBack_(daysBack), started_(QDateTime::currentMSecsSinceEpoch()) {}

std::int64_t GroupCalendar::firstDay() const {
    return Today() - daysBack_;
}

std::string GroupCalendar::ctag() const {
    return std::to_string(started_) + "-" + std::to_string(db_.changeCount) + "-" +
           std::to_string(firstDay());
}

void GroupCalendar::refresh() {
    const std::string tag = ctag();
    // A file being rewritten elsewhere (a restructure) is not read: the last events stand until
    // the group is reloaded.
    if (tag == builtTag_ || DataFileUnavailable(db_)) return;
    std::vector<CalendarResource> fresh = readEvents(firstDay());
    keepTexts(fresh);
    resources_ = std::move(fresh);
    byUid_.clear();
    for (std::size_t i = 0; i < resources_.size(); ++i) byUid_[resources_[i].event.uid] = i;
    feed_ = QByteArray();
    builtAt_ = QDateTime::currentDateTimeUtc();
    builtTag_ = tag;
    std::map<std::string, std::string> state;
    for (const CalendarResource& resource : resources_) state[resource.event.uid] = resource.etag;
    history_.emplace_back(tag, std::move(state));
    if (history_.size() > kSyncHistory) history_.pop_front();
}

std::vector<CalendarResource> GroupCalendar::readEvents(std::int64_t fromDay) const {
    std::vector<CalendarResource> resources;
    if (db_.dataFilePath.empty()) return resources;
    const DayEventRules rules = RulesOf(db_);
    try {
        // Read through the file the database keeps open; a second try starts afresh.
        UseDataFile(db_, [&](File& file) {
            resources.clear();
            const std::int64_t count = RecordCount(file);
            std::vector<DayRecord> records(static_cast<std::size_t>(kRecordsPerRead));
            for (std::int64_t next = FirstRecordFrom(file, fromDay); next < count;) {
                const std::int64_t n = std::min(kRecordsPerRead, count - next);
                file.seek(next * kRecord);
                file.read(records.data(), static_cast<std::size_t>(n) * kDayRecordSize);
                for (std::int64_t i = 0; i < n; ++i) AddEvents(records[static_cast<std::size_t>(i)], fromDay, rules, resources);
                next += n;
            }
        });
    } catch (const std::exception& error) {
        DebugLog("Calendar of " + db_.alias + " not read: " + error.what());
        return {};
    }
    return resources;
}

// The events that did not change keep the texts written for them.
void GroupCalendar::keepTexts(std::vector<CalendarResource>& fresh) const {
    for (CalendarResource& resource : fresh) {
        const auto old = byUid_.find(resource.event.uid);
        if (old != byUid_.end() && resources_[old->second].etag == resource.etag)
            resource.text = resources_[old->second].text;
    }
}

const std::string& GroupCalendar::eventText(const CalendarResource& resource) {
    if (!resource.text) resource.text = std::make_shared<const std::string>(EventText(resource.event));
    return *resource.text;
}

const std::vector<CalendarResource>& GroupCalendar::resources() {
    refresh();
    return resources_;
}

const CalendarResource* GroupCalendar::find(const std::string& uid) {
    refresh();
    const auto found = byUid_.find(uid);
    return found == byUid_.end() ? nullptr : &resources_[found->second];
}

QByteArray GroupCalendar::feedText(const std::string& name) {
    refresh();
    if (feed_.isEmpty()) {
        std::vector<const std::string*> texts;
        texts.reserve(resources_.size());
        for (const CalendarResource& resource : resources_) texts.push_back(&eventText(resource));
        feed_ = QByteArray::fromStdString(CalendarText(texts, name));
    }
    return feed_;
}

QDateTime GroupCalendar::lastModified() {
    refresh();
    return builtAt_;
}

std::optional<std::map<std::string, std::string>> GroupCalendar::stateAt(
    const std::string& token) const {
    if (token.rfind(kSyncTokenPrefix, 0) != 0) return std::nullopt;
    const std::string tag = token.substr(std::string(kSyncTokenPrefix).size());
    for (const auto& [known, state] : history_) {
        if (known == tag) return state;
    }
    return std::nullopt;
}

CalendarSet::CalendarSet(int daysBack) {
    for (std::size_t k = 0; k < DBTable.size(); ++k) {
        TMyDBUser& db = *DBTable[k];
        std::string name = Cp1251ToUtf8(db.alias);
        // A calendar is known by its name; one without, or a second of the same name, has no URL.
        if (name.empty() || named(name)) continue;
        std::string href = "/dav/" + PercentEncode(name) + "/";
        entries_.push_back({static_cast<int>(k), std::move(name), std::move(href),
                            std::make_unique<GroupCalendar>(db, daysBack)});
    }
}

CalendarEntry* CalendarSet::named(const std::string& name) {
    for (CalendarEntry& entry : entries_)
        if (entry.name == name) return &entry;
    return nullptr;
}

CalendarEntry* CalendarSet::ofGroup(int group) {
    for (CalendarEntry& entry : entries_)
        if (entry.group == group) return &entry;
    return nullptr;
}

}  // namespace merivo
