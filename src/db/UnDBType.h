#pragma once
// The day record and its codecs, the in-memory group and user records, and the process-wide
// tables with who makes and frees them. A user record also holds the transport's part of the
// user (receive state, thread table, gathered pieces) without knowing it: net/UserTransport.h
// defines, makes and uses it.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CodePage.h"
#include "platform/Env.h"

namespace merivo {

class FileLock;
class TcpSocket;
struct UserTransport;

// ---------------------------------------------------------------------------------------------
// Short strings: one length byte, then up to `capacity` characters, in capacity + 1 bytes.

// Reads a short string; a length byte above the capacity is cut to the capacity, so a damaged
// record never makes the reader leave the field.
std::string ReadShortString(const std::uint8_t* field, int capacity);
// Writes a short string, cut to the capacity. Bytes after the text are left as they are.
void WriteShortString(std::uint8_t* field, int capacity, std::string_view text);

// Little-endian integers and doubles at any (unaligned) address.
std::int32_t ReadInt32(const std::uint8_t* at);
void WriteInt32(std::uint8_t* at, std::int32_t value);
std::uint16_t ReadUInt16(const std::uint8_t* at);
void WriteUInt16(std::uint8_t* at, std::uint16_t value);
double ReadDouble(const std::uint8_t* at);
void WriteDouble(std::uint8_t* at, double value);

// ---------------------------------------------------------------------------------------------
// DayRecord: one day of a database, 55,766 bytes.

constexpr std::size_t kDayRecordSize = 55766;
constexpr int kScheduleRows = 70;
constexpr int kListLines = 60;

namespace day {
constexpr std::size_t kDate = 0;
constexpr std::size_t kMarker = 8;  // int32, 200000033 in an empty day
constexpr std::size_t kTitle = 12;  // short string, capacity 255
constexpr std::size_t kMemo = 268;  // 2048-byte memo block
constexpr std::size_t kMemoSize = 2048;
constexpr std::size_t kMemoEditSize = 2047;
constexpr std::size_t kScheduleTimes = 2316;  // 70 short strings, capacity 5
constexpr std::size_t kScheduleTexts = 2736;  // 70 short strings, capacity 255
constexpr std::size_t kRowBlocks = 20656;     // 70 blocks of 61 bytes
constexpr std::size_t kRowBlockSize = 61;
constexpr std::size_t kRowIdInBlock = 10;
constexpr std::size_t kIdCounter = 20664;  // uint16 in bytes 8 and 9 of block 0
constexpr std::size_t kList1 = 24926;      // 60 short strings, capacity 255
constexpr std::size_t kList2 = 40286;
constexpr std::size_t kTail = 55646;
constexpr std::size_t kTailSize = 120;
constexpr int kTimeCapacity = 5;
constexpr int kTextCapacity = 255;
constexpr std::int32_t kEmptyDayMarker = 200000033;
}  // namespace day

struct DayRecord {
    std::array<std::uint8_t, kDayRecordSize> bytes{};

    std::uint8_t* data() { return bytes.data(); }
    const std::uint8_t* data() const { return bytes.data(); }

    double date() const;
    void setDate(double date);
    std::string title() const;
    void setTitle(std::string_view text);
    std::string scheduleTime(int row) const;
    void setScheduleTime(int row, std::string_view text);
    std::string scheduleText(int row) const;
    void setScheduleText(int row, std::string_view text);
    std::int32_t rowId(int row) const;
    void setRowId(int row, std::int32_t id);
    std::uint16_t idCounter() const;
    void setIdCounter(std::uint16_t counter);
    // list is 1 or 2.
    std::string listLine(int list, int line) const;
    void setListLine(int list, int line, std::string_view text);
    std::uint8_t* listLineField(int list, int line);
    std::uint8_t* scheduleTimeField(int row);
    std::uint8_t* scheduleTextField(int row);
};

// Sets up a group's empty day: marker, empty texts, and hour labels in every second schedule
// row from `begin`, `step` + 1 hours apart, until a label reaches `end` (at most 35 labels).
void InitTimeSlots(DayRecord& emptyDay, int begin, int end, int step);

// ---------------------------------------------------------------------------------------------
// Users and databases.

struct TMyNameUser {
    bool valid = false;
    std::atomic<bool> online{false};
    std::int32_t databaseNumber = 0;
    std::shared_ptr<TcpSocket> outgoing;  // the connection the server opens to the user
    std::atomic<std::int32_t> connectionHandle{-1};  // handle of the accepted connection
    std::int32_t reconnectCount = 0;
    std::string name;
    std::string host;  // lower case
    std::int32_t userListSlot = 0;
    std::atomic<std::int32_t> sendIssued{0};
    std::atomic<std::int32_t> sendStarted{0};
    std::atomic<std::int32_t> sendFinished{0};
    std::atomic<bool> sendStopped{false};
    double onlineSince = 0;  // local time it last came online (main thread)
    // The transport's part of the user (net/UserTransport.h): made by the transport the first
    // time it touches the user, on whichever thread that is, and freed with the user. A
    // shared_ptr, since it frees a type that this layer only declares.
    mutable std::once_flag transportMade;
    mutable std::shared_ptr<UserTransport> transport;
};

struct TmyDBIndexEntry {
    double date = 0;
    std::int32_t offset = 0;
};

struct TmyIndexHint {
    std::int32_t offset = 0;
    double date = 0;
};

constexpr std::size_t kRequestPackageSize = 2351;
constexpr std::size_t kRangeReplyHeaderSize = 24;
constexpr int kMaxRangeDays = 7;
constexpr std::size_t kRangeReplySize = kRangeReplyHeaderSize + kMaxRangeDays * kDayRecordSize;

using RequestBytes = std::array<std::uint8_t, kRequestPackageSize>;

struct TMyDBUser {
    std::string alias;
    std::string dataFilePath;
    std::int32_t recordLimit = 0;
    std::int32_t archiveLimit = 0;
    std::int32_t connectedUsers = 0;
    bool busy = false;
    bool insertBeforeFirstAllowed = false;
    double firstDate = 0;
    std::string timeBegin, timeEnd, step;
    bool archiveLink = false;
    std::vector<std::unique_ptr<TMyNameUser>> users;
    std::int32_t userCount = 0;
    DayRecord EmptyDay;
    DayRecord DayBuffer;
    std::vector<std::uint8_t> RangeReply = std::vector<std::uint8_t>(kRangeReplySize);
    TmyIndexHint IndexHint;
    std::vector<TmyDBIndexEntry> TmyDBIndex;
    bool readRetried = false;
    bool writeRetried = false;
    RequestBytes CopyRequest{};
    RequestBytes ChangeRecord{};
    std::shared_ptr<FileLock> dataFileLock;  // held while the server has the data file loaded
    std::unique_ptr<File> dataFile;  // the data file, kept open while loaded (see KeptDataFile)
    std::uint64_t editsStored = 0;  // days stored by edits, row IDs and day copies (main thread)
    bool restructuring = false;  // the structure dialog is rewriting the data file and archive
    // Grows whenever a day is stored and whenever the data file is indexed (start, reload after a
    // restructure): whoever shows the days elsewhere knows by it that they may have changed.
    std::uint64_t changeCount = 0;
};

// ---------------------------------------------------------------------------------------------
// Process-wide state: who makes it, who frees it, and when.
//
//   Config (platform/Config.h)    read from Server.ini on the main thread at start (InitServer),
//                                 before any other thread reads it; ResetServerState puts it back.
//   DBTable, groups and users     made on the main thread as the settings are read at start
//                                 (ReadSettings, host/UnServer.cpp); no group or user comes or goes
//                                 while the server runs. Freed by ResetServerState (tests, the next
//                                 run) or as the program exits, in both cases after
//                                 EndUserProcesses has ended every send and mail process; should
//                                 one still run, LeaveTablesToTheSystem leaves them unfreed.
//   the user index                IndexUsers on the main thread once the tables are complete
//                                 (InitServer); emptied by ResetServerState.
//   a user's outgoing socket      CreateOutgoingConnection (net) at start; freed with its user.
//   a user's transport part       TransportOf (net/UserTransport.h) at the transport's first
//                                 touch of the user; freed with its user. Its thread table is read
//                                 and changed under the thread-table lock, cleared as the
//                                 processes end.
//   the transport's hooks         installed by InstallSendPath (net) on the main thread once the
//                                 sockets form is made, before listening; never taken back.
//   PendingConnects, the          net, under the thread-table lock (net/UnSockSr.h,
//   processes started             net/UnSockSr_SendTurn.cpp); emptied as the sockets form closes
//                                 and as processes are seen finished.
//   FormSocksServer, FormMVServer set by the forms' constructors on the main thread, cleared as
//                                 they close, under the log lock.
//   the log sink                  SetLogSink, under the log lock, by the main window (or the
//                                 settings check); removed before the window goes.

// One entry per configured database, in settings order.
extern std::vector<std::unique_ptr<TMyDBUser>> DBTable;

// Puts Config and every process-wide value above back to its initial value (start of a run,
// tests). Every send and mail process is ended first (EndUserProcesses); should one still run
// after the wait, the records it may read are left to the system instead of being freed.
void ResetServerState();
// Leaves every database and user record to the system: the tables are emptied without freeing
// them, so that a thread still reading a record never finds it freed.
void LeaveTablesToTheSystem();

// Calls f for every user of every database, databases in table order, users in table order.
void ForEachUser(const std::function<void(TMyNameUser&)>& f);

// The first valid user, in table order, with that accepted connection or outgoing socket handle
// (never for the handle -1, which stands for none). nullptr when there is none.
TMyNameUser* FindUserByConnection(int handle);
TMyNameUser* FindUserByOutgoing(int socketHandle);

// Indexes the users by name and by host once the tables are complete (they do not change while
// the server runs; a reset empties the index). The look-ups below then cost the same however
// many users there are, and may run on any thread.
void IndexUsers();
// The first valid user, in table order, with that host (compared lower-cased) or name (exactly),
// as indexed; nullptr when there is none.
TMyNameUser* FindUserByHost(const std::string& host);
TMyNameUser* FindUserByName(const std::string& name);

// Opens an inbox file, retrying every 5 ms while it is open elsewhere. A file that is not there
// is made again, empty. After the open time-out, or at once on any other failure, it logs
// "Error occurred while opening the file: " + path + "." and returns nullptr.
std::unique_ptr<File> OpenFileRetrying(const std::string& path, OpenMode mode);
// The same, holding the thread-table lock on success; the caller unlocks it after closing.
std::unique_ptr<File> OpenFileRetryingLocked(const std::string& path, OpenMode mode);

// The user's inbox index file in the mail folder.
std::string InboxPath(const TMyNameUser& user);

// ---------------------------------------------------------------------------------------------
// What the database service is handed by the transport when the server is built.

// SendPackage(user, payload, size, host, mode): frames the payload and queues it for the
// receivers of the mode (1 the user's database, 2 the user, 3 the database less the host,
// 4 every database).
using SendPackageFunction =
    std::function<void(TMyNameUser& user, const std::uint8_t* payload, std::size_t size,
                       const std::string& host, int mode)>;
extern SendPackageFunction SendPackage;
// The same for a package in a buffer that the transport may keep instead of copying it: the
// first `size` bytes of the buffer. The caller does not change the buffer afterwards. Unless the
// transport installs its own, it calls SendPackage.
using SendSharedPackageFunction =
    std::function<void(TMyNameUser& user, std::shared_ptr<std::vector<std::uint8_t>> package,
                       std::size_t size, const std::string& host, int mode)>;
extern SendSharedPackageFunction SendSharedPackage;
extern std::function<void(TMyNameUser& user)> StartMailDelivery;
// Ends every send and mail process and waits for each to return, up to a bound; false when one
// still runs after it. Unless the transport installs its own, there are none: true.
extern std::function<bool()> EndUserProcesses;

}  // namespace merivo
