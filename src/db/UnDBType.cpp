#include "db/UnDBType.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "db/UnDBType_Packages.h"
#include "db/MessageCatalog.h"
#include "platform/Clock.h"
#include "platform/Config.h"
#include "platform/Locks.h"
#include "platform/Log.h"
#include "platform/Socket.h"

namespace merivo {

// ---- Short strings and little-endian values ---------------------------------------------------

std::string ReadShortString(const std::uint8_t* field, int capacity) {
    const int length = std::min<int>(field[0], capacity);
    return std::string(reinterpret_cast<const char*>(field + 1), static_cast<std::size_t>(length));
}

void WriteShortString(std::uint8_t* field, int capacity, std::string_view text) {
    const std::size_t length =
        std::min<std::size_t>(text.size(), static_cast<std::size_t>(capacity));
    field[0] = static_cast<std::uint8_t>(length);
    std::memcpy(field + 1, text.data(), length);
}

std::int32_t ReadInt32(const std::uint8_t* at) {
    const std::uint32_t value = std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 |
                                std::uint32_t(at[2]) << 16 | std::uint32_t(at[3]) << 24;
    return static_cast<std::int32_t>(value);
}

void WriteInt32(std::uint8_t* at, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::uint16_t ReadUInt16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

void WriteUInt16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

double ReadDouble(const std::uint8_t* at) {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | at[i];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void WriteDouble(std::uint8_t* at, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

// ---- DayRecord --------------------------------------------------------------------------------

namespace {

constexpr std::size_t kTextFieldSize = day::kTextCapacity + 1;
constexpr std::size_t kTimeFieldSize = day::kTimeCapacity + 1;

std::size_t TimeOffset(int row) {
    return day::kScheduleTimes + static_cast<std::size_t>(row) * kTimeFieldSize;
}

std::size_t TextOffset(int row) {
    return day::kScheduleTexts + static_cast<std::size_t>(row) * kTextFieldSize;
}

std::size_t LineOffset(int list, int line) {
    const std::size_t listStart = list == 2 ? day::kList2 : day::kList1;
    return listStart + static_cast<std::size_t>(line) * kTextFieldSize;
}

std::size_t RowIdOffset(int row) {
    return day::kRowBlocks + static_cast<std::size_t>(row) * day::kRowBlockSize +
           day::kRowIdInBlock;
}

}  // namespace

double DayRecord::date() const {
    return ReadDouble(data() + day::kDate);
}
void DayRecord::setDate(double date) {
    WriteDouble(data() + day::kDate, date);
}

std::string DayRecord::title() const {
    return ReadShortString(data() + day::kTitle, day::kTextCapacity);
}
void DayRecord::setTitle(std::string_view text) {
    WriteShortString(data() + day::kTitle, day::kTextCapacity, text);
}

std::uint8_t* DayRecord::scheduleTimeField(int row) {
    return data() + TimeOffset(row);
}
std::uint8_t* DayRecord::scheduleTextField(int row) {
    return data() + TextOffset(row);
}
std::uint8_t* DayRecord::listLineField(int list, int line) {
    return data() + LineOffset(list, line);
}

std::string DayRecord::scheduleTime(int row) const {
    return ReadShortString(data() + TimeOffset(row), day::kTimeCapacity);
}
void DayRecord::setScheduleTime(int row, std::string_view text) {
    WriteShortString(scheduleTimeField(row), day::kTimeCapacity, text);
}
std::string DayRecord::scheduleText(int row) const {
    return ReadShortString(data() + TextOffset(row), day::kTextCapacity);
}
void DayRecord::setScheduleText(int row, std::string_view text) {
    WriteShortString(scheduleTextField(row), day::kTextCapacity, text);
}

std::int32_t DayRecord::rowId(int row) const {
    return ReadInt32(data() + RowIdOffset(row));
}
void DayRecord::setRowId(int row, std::int32_t id) {
    WriteInt32(data() + RowIdOffset(row), id);
}

std::uint16_t DayRecord::idCounter() const {
    return ReadUInt16(data() + day::kIdCounter);
}
void DayRecord::setIdCounter(std::uint16_t counter) {
    WriteUInt16(data() + day::kIdCounter, counter);
}

std::string DayRecord::listLine(int list, int line) const {
    return ReadShortString(data() + LineOffset(list, line), day::kTextCapacity);
}
void DayRecord::setListLine(int list, int line, std::string_view text) {
    WriteShortString(listLineField(list, line), day::kTextCapacity, text);
}

namespace {

// " 9.00", "14.00": the hour, ".00", one blank in front when shorter than five characters.
std::string HourLabel(std::int64_t hour) {
    const std::string label = std::to_string(hour) + ".00";
    return label.size() < 5 ? " " + label : label;
}

constexpr int kMaxHourLabels = 35;
// The title and the memo block are emptied as five 256-byte texts.
constexpr int kHeaderTexts = 5;

}  // namespace

void InitTimeSlots(DayRecord& emptyDay, int begin, int end, int step) {
    WriteInt32(emptyDay.data() + day::kMarker, day::kEmptyDayMarker);
    for (int i = 0; i < kHeaderTexts; ++i) emptyDay.data()[day::kTitle + i * kTextFieldSize] = 0;
    for (int row = 0; row < kScheduleRows; ++row) {
        emptyDay.setScheduleTime(row, "");
        emptyDay.setScheduleText(row, "");
        emptyDay.setRowId(row, 0);
    }
    emptyDay.setIdCounter(0);

    // 64-bit so that extreme settings cannot overflow; at most 35 labels are written anyway.
    std::int64_t hour = begin;
    for (int k = 0; k < kMaxHourLabels; ++k) {
        emptyDay.setScheduleTime(2 * k, HourLabel(hour));
        if (hour >= end) break;
        hour += std::int64_t{step} + 1;
    }

    for (int line = 0; line < kListLines; ++line) {
        emptyDay.setListLine(1, line, "");
        emptyDay.setListLine(2, line, "");
    }
}

// ---- Process-wide state -----------------------------------------------------------------------

std::vector<std::unique_ptr<TMyDBUser>> DBTable;

namespace {

struct UserIndex {
    std::unordered_map<std::string, TMyNameUser*> byName;
    std::unordered_map<std::string, TMyNameUser*> byHost;  // lower-cased
};
UserIndex Indexed;

TMyNameUser* Lookup(const std::unordered_map<std::string, TMyNameUser*>& index,
                    const std::string& key) {
    const auto found = index.find(key);
    return found == index.end() ? nullptr : found->second;
}

}  // namespace

void ResetServerState() {
    if (!EndUserProcesses()) LeaveTablesToTheSystem();
    ResetConfig();
    Indexed = {};
    DBTable.clear();
    ResetUserListImage();
    SelectCatalogue(0);
}

void LeaveTablesToTheSystem() {
    for (auto& db : DBTable) static_cast<void>(db.release());
    DBTable.clear();
}

void ForEachUser(const std::function<void(TMyNameUser&)>& f) {
    for (auto& db : DBTable) {
        for (auto& user : db->users) {
            if (user) f(*user);
        }
    }
}

namespace {

TMyNameUser* FindFirstValid(const std::function<bool(const TMyNameUser&)>& matches) {
    for (auto& db : DBTable) {
        for (auto& user : db->users) {
            if (user && user->valid && matches(*user)) return user.get();
        }
    }
    return nullptr;
}

}  // namespace

TMyNameUser* FindUserByConnection(int handle) {
    if (handle == -1) return nullptr;  // -1 marks users without an accepted connection
    return FindFirstValid([handle](const TMyNameUser& u) { return u.connectionHandle == handle; });
}

TMyNameUser* FindUserByOutgoing(int socketHandle) {
    if (socketHandle == -1) return nullptr;
    return FindFirstValid([socketHandle](const TMyNameUser& u) {
        return u.outgoing && u.outgoing->handle() == socketHandle;
    });
}

void IndexUsers() {
    UserIndex index;
    ForEachUser([&index](TMyNameUser& user) {
        if (!user.valid) return;
        index.byName.emplace(user.name, &user);  // the first in table order stays
        index.byHost.emplace(LowerAscii(user.host), &user);
    });
    Indexed = std::move(index);
}

TMyNameUser* FindUserByHost(const std::string& host) {
    return Lookup(Indexed.byHost, LowerAscii(host));
}

TMyNameUser* FindUserByName(const std::string& name) {
    return Lookup(Indexed.byName, name);
}

// ---- Files held elsewhere ----------------------------------------------------------------------

namespace {

constexpr int kFileOpenRetryPauseMs = 5;

// Opens the file; one that is not there (an inbox file deleted while the server runs) is made
// again, empty, as at start-up. Throws FileInUseError while the file is open elsewhere.
std::unique_ptr<File> OpenOrRecreate(const std::string& path, OpenMode mode) {
    Env& env = CurrentEnv();
    try {
        return env.openFile(path, mode);
    } catch (const FileInUseError&) {
        throw;
    } catch (const IoError&) {
        if (env.fileExists(path)) throw;
    }
    return env.openFile(path, OpenMode::OpenOrCreate);
}

// Retries the open while the file is open elsewhere, until the open time-out has passed; any
// other failure gives up at once. With `locked`, every attempt holds the thread-table lock and
// only a successful one keeps it: the analysis cannot follow a lock kept on one kind of result.
std::unique_ptr<File> OpenWithRetries(const std::string& path, OpenMode mode, bool locked)
    NO_THREAD_SAFETY_ANALYSIS {
    Clock& clock = CurrentClock();
    const std::uint32_t started = clock.tickCount();
    for (;;) {
        std::unique_lock<RecursiveMutex> lock(ThreadTableLock(), std::defer_lock);
        if (locked) lock.lock();
        try {
            std::unique_ptr<File> file = OpenOrRecreate(path, mode);
            lock.release();
            return file;
        } catch (const FileInUseError&) {
            // The other holder closes it soon: retried below.
        } catch (const std::exception&) {
            break;
        }
        if (locked) lock.unlock();
        const std::uint32_t elapsed = clock.tickCount() - started;
        if (elapsed > static_cast<std::uint32_t>(CurrentTimeouts().fileOpenRetryMs)) break;
        clock.sleepMs(kFileOpenRetryPauseMs);
    }
    WriteLog(Msg(msgOpenFileError) + path + ".");
    return nullptr;
}

}  // namespace

std::unique_ptr<File> OpenFileRetrying(const std::string& path, OpenMode mode) {
    return OpenWithRetries(path, mode, false);
}

std::unique_ptr<File> OpenFileRetryingLocked(const std::string& path, OpenMode mode) {
    return OpenWithRetries(path, mode, true);
}

std::string InboxPath(const TMyNameUser& user) {
    return JoinPath(Config.pop3Dir, user.host + ".bin");
}

// ---- Hooks the transport installs ------------------------------------------------------------

SendPackageFunction SendPackage = [](TMyNameUser& user, const std::uint8_t*, std::size_t size,
                                     const std::string&, int mode) {
    DebugLog("SendPackage without transport: " + std::to_string(size) + " bytes for " + user.host +
             ", mode " + std::to_string(mode));
};

SendSharedPackageFunction SendSharedPackage =
    [](TMyNameUser& user, std::shared_ptr<std::vector<std::uint8_t>> package, std::size_t size,
       const std::string& host, int mode) {
        SendPackage(user, package->data(), size, host, mode);
    };

std::function<void(TMyNameUser& user)> StartMailDelivery = [](TMyNameUser& user) {
    DebugLog("StartMailDelivery without transport: " + user.host);
};

std::function<bool()> EndUserProcesses = [] { return true; };

}  // namespace merivo
