#include "support/DiaryUser.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

#include "db/UnDBType_Packages.h"
#include "db/UnDBserv_Request.h"
#include "platform/DateTime.h"

namespace merivo {

namespace {

using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

constexpr int kAnswerTimeoutMs = 60000;  // a busy machine, a server syncing every edit
constexpr std::int32_t kDirectKind = 10;
constexpr std::size_t kSmallMail = 8192;
constexpr std::size_t kSpilledMail = 600000;  // past the server's memory threshold

// Edit operations the users send, list and schedule alike; 12 is no operation, which still
// stores the day.
constexpr std::int32_t kEdits[] = {kEditTitle,
                                   kEditMemo,
                                   kEditRow,
                                   kEditLine1,
                                   kEditLine2,
                                   kDeleteLine1,
                                   kDeleteLine2,
                                   kRestoreLine1,
                                   kRestoreLine2,
                                   kInsertRow,
                                   kDeleteRow,
                                   kAppendRow,
                                   12};

std::int32_t Word(const Bytes& p, std::size_t offset) {
    return p.size() >= offset + 4 ? ReadInt32(p.data() + offset) : 0;
}

double DateOf(const Bytes& p) {
    return p.size() >= request::kDate + 8 ? ReadDouble(p.data() + request::kDate) : 0;
}

bool IsList(std::int32_t code) {
    return code == kEditLine1 || code == kEditLine2 || code == kDeleteLine1 ||
           code == kDeleteLine2 || code == kRestoreLine1 || code == kRestoreLine2;
}

// The sections a day copy may replace, as the client sees a day: title, memo, schedule (its row
// IDs cleared), list 1, list 2.
void CopySections(DayRecord& target, const DayRecord& source, const std::uint8_t* flags) {
    const std::size_t starts[] = {day::kTitle, day::kMemo, day::kScheduleTimes, day::kList1,
                                  day::kList2};
    const std::size_t sizes[] = {day::kTextCapacity + 1, day::kMemoSize,
                                 day::kRowBlocks - day::kScheduleTimes, day::kList2 - day::kList1,
                                 day::kTail - day::kList2};
    for (int s = 0; s < 5; ++s) {
        if (flags[s] == 0) continue;
        std::memcpy(target.data() + starts[s], source.data() + starts[s], sizes[s]);
        if (s == 2) {
            for (int row = 0; row < kScheduleRows; ++row) target.setRowId(row, 0);
        }
    }
}

RequestBytes AsRequest(const Bytes& p) {
    RequestBytes q{};
    std::copy_n(p.begin(), std::min(p.size(), q.size()), q.begin());
    return q;
}

bool IsRestore(std::int32_t code) {
    return code == kRestoreLine1 || code == kRestoreLine2;
}

}  // namespace

// ---- Ledger -----------------------------------------------------------------------------------

void Ledger::addMail(Entry entry) {
    std::lock_guard<std::mutex> guard(mutex_);
    mails_.push_back(std::move(entry));
}

void Ledger::addDirect(Entry entry) {
    std::lock_guard<std::mutex> guard(mutex_);
    directs_.push_back(std::move(entry));
}

std::vector<Ledger::Entry> Ledger::mails() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return mails_;
}

std::vector<Ledger::Entry> Ledger::directs() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return directs_;
}

std::string RelayId(const Bytes& package) {
    if (package.size() < kRelayHeaderSize || Word(package, 0) != kRelayCode) return "";
    const auto* body = reinterpret_cast<const char*>(package.data() + kRelayHeaderSize);
    const std::string_view text(body, std::min<std::size_t>(64, package.size() - kRelayHeaderSize));
    const std::size_t end = text.find(';');
    return end == std::string_view::npos ? "" : std::string(text.substr(0, end));
}

DayRecord SoakEmptyDay(std::int64_t day) {
    DayRecord record;
    InitTimeSlots(record, 9, 20, 0);
    record.setDate(static_cast<double>(day));
    return record;
}

std::string SoakSettings(int port, const std::string& dataFile, int users) {
    std::string ini = "[Options]\nLanguage=0\n[NetWork]\nPort=" + std::to_string(port) +
                      "\nDirectSend=1\nReconnect=5\nTCPNoDelay=1\n[DataBases]\nCount=1\n"
                      "Alias1=Soak\n[DataBase - 1]\nName=" +
                      dataFile +
                      "\nCount=100000\nCountArc=0\nTime Begin=9\nTime End=20\nStep=0\n"
                      "Archive Link=0\nUserCount=" +
                      std::to_string(users) + "\n";
    for (int i = 1; i <= users; ++i) {
        ini += "User_" + std::to_string(i) + "=127.0.0." + std::to_string(i + 1) + "::user" +
               std::to_string(i) + "\n";
    }
    return ini;
}

// ---- DiaryUser --------------------------------------------------------------------------------

DiaryUser::DiaryUser(int number, int port, std::vector<std::int64_t> days, std::uint32_t seed)
    : name_("user" + std::to_string(number)),
      days_(std::move(days)),
      random_(seed),
      scratch_(std::make_unique<TMyDBUser>()) {
    options_.ownAddress = "127.0.0." + std::to_string(number + 1);
    options_.serverPort = port;
}

DiaryUser::~DiaryUser() {
    disconnect();
}

void DiaryUser::connect(int timeoutMs) {
    disconnect();
    client_ = std::make_unique<MerivoClient>(options_);
    client_->connect(timeoutMs);
    {
        std::lock_guard<std::mutex> guard(arrivedLock_);
        arrived_.clear();
        readerStopped_.reset();
        stopReading_ = false;
    }
    reader_ = std::thread([this] { readPackages(); });
    waitFor([](const Bytes& p) { return Word(p, 0) == kUserListCode; });
}

void DiaryUser::disconnect() {
    if (reader_.joinable()) {
        {
            std::lock_guard<std::mutex> guard(arrivedLock_);
            stopReading_ = true;
        }
        reader_.join();
    }
    client_.reset();
}

void DiaryUser::readPackages() {
    constexpr int kStopCheckMs = 100;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(arrivedLock_);
            if (stopReading_) return;
        }
        try {
            std::optional<Bytes> p = client_->receivePackage(kStopCheckMs);
            if (!p) continue;
            std::lock_guard<std::mutex> guard(arrivedLock_);
            arrived_.push_back(std::move(*p));
        } catch (const ClientError& e) {
            std::lock_guard<std::mutex> guard(arrivedLock_);
            readerStopped_ = e;
            arrivedChanged_.notify_all();
            return;
        }
        arrivedChanged_.notify_all();
    }
}

std::optional<DiaryUser::Bytes> DiaryUser::nextPackage(int timeoutMs) {
    std::unique_lock<std::mutex> lock(arrivedLock_);
    arrivedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return !arrived_.empty() || readerStopped_; });
    if (!arrived_.empty()) {
        Bytes p = std::move(arrived_.front());
        arrived_.pop_front();
        return p;
    }
    if (readerStopped_) throw *readerStopped_;
    return std::nullopt;
}

// The day as an edit leaves it, by the server's own edit operations; `answer` is the undo record
// the server answered with, which holds the text a restore puts back.
DayRecord DiaryUser::edited(const DayRecord& day, const Bytes& edit, const Bytes& answer) {
    scratch_->DayBuffer = day;
    scratch_->ChangeRecord = AsRequest(answer);
    ApplyEdit(*scratch_, Word(edit, request::kCode), Word(edit, request::kSubcode),
              AsRequest(edit));
    return scratch_->DayBuffer;
}

DayRecord DiaryUser::modelDay(std::int64_t day) const {
    auto found = model_.find(day);
    return found == model_.end() ? SoakEmptyDay(day) : found->second;
}

std::int64_t DiaryUser::anyDay() {
    return days_[std::uniform_int_distribution<std::size_t>(0, days_.size() - 1)(random_)];
}

std::string DiaryUser::randomText(std::size_t most) {
    std::string text(std::uniform_int_distribution<std::size_t>(0, most)(random_), ' ');
    for (char& c : text)
        c = static_cast<char>(std::uniform_int_distribution<int>(32, 126)(random_));
    return text;
}

DiaryUser::Bytes DiaryUser::request(std::int32_t code, std::int32_t subcode, std::int64_t day) {
    Bytes q = BuildRequest(code, subcode, static_cast<double>(day));
    q[request::kTag] = ++tag_;
    return q;
}

// Takes packages until one matches; every package on the way is noted.
template <class Match>
DiaryUser::Bytes DiaryUser::waitFor(Match match) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    while (SteadyClock::now() < deadline) {
        std::optional<Bytes> p = nextPackage(1000);
        if (!p) continue;
        note(*p);
        if (match(*p)) return *p;
    }
    throw ClientError(ClientError::Kind::Timeout, name_ + ": no answer within 60 s");
}

void DiaryUser::note(const Bytes& package) {
    const std::string id = RelayId(package);
    if (id.empty()) return;
    if (package[relay::kDeliveryKind] == kDirectKind) {
        directs_.insert(id);
    } else {
        mails_.insert(id);
    }
}

void DiaryUser::randomAction(const std::vector<std::string>& others, Ledger& ledger) {
    const int pick = std::uniform_int_distribution<int>(0, 99)(random_);
    if (pick < 62) return edit();
    if (pick < 65) return copy();
    if (pick < 72) return rowId();
    if (pick < 83) return read(anyDay(), std::uniform_int_distribution<int>(1, 7)(random_));
    if (pick < 91) return relay(others, ledger, false);
    if (pick < 97) return relay(others, ledger, true);
    ++stats_.fetches;
    client_->sendPackage(request(kServiceCode, kMailSubcode, 0));
}

void DiaryUser::randomChange() {
    const int pick = std::uniform_int_distribution<int>(0, 99)(random_);
    if (pick < 75) return edit();
    if (pick < 90) return copy();
    rowId();
}

void DiaryUser::edit() {
    const std::int32_t code =
        kEdits[std::uniform_int_distribution<std::size_t>(0, std::size(kEdits) - 1)(random_)];
    const int rows = IsList(code) ? kListLines : kScheduleRows;
    const auto row = std::uniform_int_distribution<std::int32_t>(0, rows - 1)(random_);
    const std::int64_t day = anyDay();
    Bytes q = request(code, row, day);
    const bool insertLine = (code == kEditLine1 || code == kEditLine2) && random_() % 2 == 0;
    WriteShortString(&q[request::kTime], day::kTimeCapacity,
                     insertLine ? "1" : randomText(day::kTimeCapacity));
    WriteShortString(&q[request::kText], day::kTextCapacity, randomText(day::kTextCapacity));
    const std::string memo = randomText(day::kMemoEditSize);
    std::memcpy(&q[request::kMemo], memo.data(), memo.size());
    WriteInt32(&q[request::kRowId], static_cast<std::int32_t>(random_()));
    q[request::kIdGiven] = static_cast<std::uint8_t>(random_() % 2);

    // What a restore puts back is the server's to say: its undo record of the last request.
    pending_ = Pending{day, edited(modelDay(day), q, q), !IsRestore(code)};
    client_->sendPackage(q);
    const Bytes answer = waitFor([&](const Bytes& p) {
        return (Word(p, 0) == kUndoCode || Word(p, 0) == kNotStoredCode) &&
               p.size() > request::kTag && p[request::kTag] == q[request::kTag];
    });
    if (Word(answer, 0) == kUndoCode) {
        model_[day] = edited(modelDay(day), q, answer);
        ++stats_.edits;
    } else {
        ++stats_.refused;
    }
    pending_.reset();
}

void DiaryUser::copy() {
    const std::int64_t source = anyDay();
    const std::int64_t target = anyDay();
    Bytes q = request(kCopyDayCode, 0, target);
    WriteDouble(&q[request::kSourceDate], static_cast<double>(source));
    for (int s = 0; s < 5; ++s) q[request::kSectionFlags + s] = random_() % 2;
    DayRecord copied = modelDay(target);
    CopySections(copied, modelDay(source), &q[request::kSectionFlags]);

    pending_ = Pending{target, copied, true};
    client_->sendPackage(q);
    const Bytes answer = waitFor([&](const Bytes& p) {
        const bool copiedDays = Word(p, 0) == kAnswerCode && Word(p, 4) == kCopyAnswerSubcode &&
                                DayOf(DateOf(p)) == target;
        const bool refused = Word(p, 0) == kNotStoredCode && p[request::kTag] == q[request::kTag];
        return copiedDays || refused;
    });
    pending_.reset();
    if (Word(answer, 0) == kNotStoredCode) {
        ++stats_.refused;
        return;
    }
    ++stats_.copies;
    model_[target] = copied;
    if (answer.size() < kRangeReplyHeaderSize + kDayRecordSize ||
        std::memcmp(answer.data() + kRangeReplyHeaderSize, copied.data(), kDayRecordSize) != 0) {
        throw ModelMismatch(name_ + ": the copy onto day " + std::to_string(target) +
                            " differs from the model");
    }
}

void DiaryUser::rowId() {
    const std::int64_t day = anyDay();
    const auto row = std::uniform_int_distribution<std::int32_t>(0, kScheduleRows - 1)(random_);
    Bytes q = request(kServiceCode, kRowIdSubcode, day);
    WriteInt32(&q[request::kAux], row);
    Bytes numbering = BuildRequest(kMakeRowId, row, static_cast<double>(day));
    const DayRecord numbered = edited(modelDay(day), numbering, numbering);

    pending_ = Pending{day, numbered, true};
    client_->sendPackage(q);
    const Bytes answer = waitFor([&](const Bytes& p) {
        const std::int32_t code = Word(p, 0);
        return ((code == kAnswerCode && Word(p, 4) == kRowIdAnswerSubcode) ||
                code == kNotStoredCode) &&
               p[request::kTag] == q[request::kTag];
    });
    pending_.reset();
    if (Word(answer, 0) == kNotStoredCode) {
        ++stats_.refused;
        return;
    }
    ++stats_.rowIds;
    model_[day] = numbered;
    if (Word(answer, request::kRowId) != numbered.rowId(row)) {
        throw ModelMismatch(name_ + ": row " + std::to_string(row) + " of day " +
                            std::to_string(day) + " got ID " +
                            std::to_string(Word(answer, request::kRowId)) + ", the model " +
                            std::to_string(numbered.rowId(row)));
    }
}

void DiaryUser::read(std::int64_t day, int count) {
    Bytes q = request(kServiceCode, kReadRangeSubcode, day);
    WriteUInt16(&q[request::kDayCount], static_cast<std::uint16_t>(count));
    client_->sendPackage(q);
    const Bytes answer = waitFor([&](const Bytes& p) {
        return Word(p, 0) == kAnswerCode && Word(p, 4) == kRangeAnswerSubcode &&
               DayOf(DateOf(p)) == day;
    });
    ++stats_.reads;
    if (answer.size() != kRangeReplyHeaderSize + static_cast<std::size_t>(count) * kDayRecordSize) {
        throw ModelMismatch(name_ + ": a read of " + std::to_string(count) + " days answered " +
                            std::to_string(answer.size()) + " bytes");
    }
    for (int i = 0; i < count; ++i) {
        const std::int64_t slotDay = day + i;
        if (std::find(days_.begin(), days_.end(), slotDay) == days_.end()) continue;
        const std::uint8_t* slot =
            answer.data() + kRangeReplyHeaderSize + static_cast<std::size_t>(i) * kDayRecordSize;
        if (std::memcmp(slot, modelDay(slotDay).data(), kDayRecordSize) != 0) {
            throw ModelMismatch(name_ + ": day " + std::to_string(slotDay) +
                                " as read differs from the model");
        }
    }
}

// The server handles a user's packages in order and does not answer relay packages: the answer
// to an empty read that follows shows that the one before was handled.
void DiaryUser::confirmHandled() {
    client_->sendPackage(request(kServiceCode, kReadRangeSubcode, 0));
    waitFor([](const Bytes& p) {
        return Word(p, 0) == kAnswerCode && Word(p, 4) == kRangeAnswerSubcode &&
               DayOf(DateOf(p)) == 0 && p.size() == kRangeReplyHeaderSize;
    });
}

void DiaryUser::relay(const std::vector<std::string>& others, Ledger& ledger, bool direct) {
    const std::string to =
        others[std::uniform_int_distribution<std::size_t>(0, others.size() - 1)(random_)];
    const std::string id = name_ + (direct ? "-direct-" : "-mail-") + std::to_string(++relays_);
    // A direct package that spills is not forwarded by design, so only mail grows that large.
    const bool spill = !direct && random_() % 200 == 0;
    Bytes body(id.begin(), id.end());
    body.push_back(';');
    const std::string filler = randomText(kSmallMail);
    body.insert(body.end(), filler.begin(), filler.end());
    if (spill) body.resize(kSpilledMail, '#');
    client_->sendPackage(BuildRelayPackage(to, name_, body, direct));
    confirmHandled();
    if (direct) {
        ledger.addDirect({to, id});
        ++stats_.directs;
    } else {
        ledger.addMail({to, id});
        ++stats_.mails;
    }
}

void DiaryUser::checkAllDays() {
    for (std::int64_t day : days_) read(day, 1);
}

void DiaryUser::collectMail(int idleMs) {
    client_->sendPackage(request(kServiceCode, kMailSubcode, 0));
    while (std::optional<Bytes> p = nextPackage(idleMs)) note(*p);
}

void DiaryUser::settlePending(const DayRecord& found) {
    if (pending_ && (!pending_->known || found.bytes == pending_->changed.bytes)) {
        model_[pending_->day] = found;
    }
    pending_.reset();
}

DiaryUsers MakeDiaryUsers(int port, int count, int daysEach, std::int64_t firstDay,
                          std::uint32_t seed) {
    DiaryUsers users;
    for (int i = 1; i <= count; ++i) {
        std::vector<std::int64_t> days;
        for (int k = 0; k < daysEach; ++k) days.push_back(firstDay + i + k * count);
        users.push_back(
            std::make_unique<DiaryUser>(i, port, days, seed + static_cast<std::uint32_t>(i)));
    }
    return users;
}

std::vector<std::string> CompareWithModels(const std::string& dataFile, const DiaryUsers& users) {
    std::map<std::int64_t, const DiaryUser*> owners;
    for (const auto& user : users) {
        for (std::int64_t day : user->days()) owners[day] = user.get();
    }
    std::ifstream in(dataFile, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    std::vector<std::string> differences;
    std::set<std::int64_t> found;
    std::int64_t previous = 0;
    for (std::size_t at = 0; at + kDayRecordSize <= bytes.size(); at += kDayRecordSize) {
        const auto* record = reinterpret_cast<const std::uint8_t*>(bytes.data() + at);
        const std::int64_t day = DayOf(ReadDouble(record));
        const std::string which =
            "day " + std::to_string(day) + " (record " + std::to_string(at / kDayRecordSize) + ")";
        if (at > 0 && day <= previous)
            differences.push_back(which + " does not follow its predecessor");
        previous = day;
        found.insert(day);
        auto owner = owners.find(day);
        if (owner == owners.end()) {
            differences.push_back(which + " belongs to no user");
        } else if (std::memcmp(record, owner->second->modelDay(day).data(), kDayRecordSize) != 0) {
            differences.push_back(which + " differs from the model of " + owner->second->name());
        }
    }
    for (const auto& user : users) {
        for (const auto& entry : user->model()) {
            if (found.count(entry.first) == 0) {
                differences.push_back("day " + std::to_string(entry.first) + " of " + user->name() +
                                      " is missing");
            }
        }
    }
    return differences;
}

}  // namespace merivo
