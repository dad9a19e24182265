#include "host/UnServer.h"

#include <arpa/inet.h>

#include <optional>
#include <string>

#include "db/UnDBType.h"
#include "db/UnDBType_Packages.h"
#include "db/UnDBserv.h"
#include "db/MessageCatalog.h"
#include "host/UnServer_Check.h"
#include "host/UnServer_Form.h"
#include "host/UnServer_Settings.h"
#include "net/UnSockSr.h"
#include "net/UnSockSr_Receive.h"
#include "platform/CodePage.h"
#include "platform/Config.h"
#include "platform/Env.h"
#include "platform/IniFile.h"
#include "platform/Log.h"

namespace merivo {

namespace {

// A value of the settings that is not what it must be.
class SettingsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// `where` names the value for the check: "[Section] Key".
int WholeNumber(const std::string& text, const std::string& where) {
    const std::optional<int> number = ParseWholeNumber(text);
    if (!number) throw SettingsError(where + " is not a whole number: \"" + text + "\"");
    return *number;
}

std::string KeyName(const std::string& section, const std::string& key) {
    return "[" + section + "] " + key;
}

// A section of Server.ini with its name, so that a bad value can be named with both.
struct NamedSection {
    std::string name;
    IniSection values;

    NamedSection(const IniFile& ini, std::string sectionName)
        : name(std::move(sectionName)), values(ini.readSection(name)) {}
    std::string text(const std::string& key) const { return values.value(key); }
    int wholeNumber(const std::string& key) const {
        return WholeNumber(values.value(key), KeyName(name, key));
    }
};

// What one run of the settings reading keeps between its steps. A check reads what a start
// reads and logs what a start logs, but changes no file and prepares nothing for serving.
struct StartupState {
    bool check = false;
    bool ok = true;
    // False when a data file would not come into use cleanly; a start logs it and goes on.
    bool dataFilesOk = true;
    int configuredUsers = 0;
};

constexpr int kMaxPort = 65535;
// The users are reached at Port + 10, which must be a port as well.
constexpr int kUserPortOffset = 10;

void CreateMailFolder() {
    Config.pop3Dir = JoinPath(Config.appDir, "POP3");
    try {
        if (!CurrentEnv().folderExists(Config.pop3Dir)) CurrentEnv().createFolder(Config.pop3Dir);
    } catch (const std::exception& e) {
        throw StartupError("The mail folder " + Config.pop3Dir + " cannot be created: " + e.what());
    }
}

void WriteNewSettingsFile(IniFile& ini) {
    Config.firstStartLanguage = ChooseLanguage();
    WriteDefaultIni(ini);
    const Catalogue& catalogue = Config.firstStartLanguage == 1 ? RussianCatalogue() : MessageTable;
    WriteLog(Msg(catalogue, msgCreatedServerIni));
}

// A bad "Language" means English and no debug mode, and is not reported.
void ReadOptions(const IniFile& ini) {
    const NamedSection options(ini, "Options");
    try {
        Config.language = options.wholeNumber("Language") & 0xFF;
        Config.debugMode = options.text("DEBUG") == "1";
    } catch (const SettingsError&) {
    }
}

// The address the protocol listens on: empty for every address of the machine. It is kept
// even when it is no IPv4 address, so that the listening fails rather than falls back to every
// address.
void ReadListenAddress(const NamedSection& network) {
    Config.listenAddress = network.text("Address");
    in_addr parsed{};
    if (!Config.listenAddress.empty() &&
        inet_pton(AF_INET, Config.listenAddress.c_str(), &parsed) != 1) {
        throw SettingsError(KeyName(network.name, "Address") + " is not an IPv4 address: \"" +
                            Config.listenAddress + "\"");
    }
}

void ReadNetwork(const IniFile& ini) {
    const NamedSection network(ini, "NetWork");
    const int port = network.wholeNumber("Port");
    if (port < 0 || port > kMaxPort - kUserPortOffset) {
        throw SettingsError(KeyName(network.name, "Port") + " is outside 0 to " +
                            std::to_string(kMaxPort - kUserPortOffset) + ": " +
                            std::to_string(port));
    }
    Config.port = port;
    Config.userPort = Config.port + kUserPortOffset;
    Config.directSend = network.wholeNumber("DirectSend") == 1;
    Config.tcpNoDelay = network.wholeNumber("TCPNoDelay") == 1;
    try {
        Config.reconnect = network.wholeNumber("Reconnect");
    } catch (const SettingsError&) {
        Config.reconnect = 5;
    }
    ReadListenAddress(network);
}

void ReadDatabaseList(const IniFile& ini) {
    const NamedSection databases(ini, "DataBases");
    DBTable.clear();
    const int count = databases.wholeNumber("Count");
    if (count < 0 || count > kMaxGroups) {
        throw SettingsError(KeyName(databases.name, "Count") + " is outside 0 to " +
                            std::to_string(kMaxGroups) + ": " + std::to_string(count));
    }
    for (int k = 1; k <= count; ++k) {
        auto db = std::make_unique<TMyDBUser>();
        db->alias = databases.text(AliasKey(k));
        DBTable.push_back(std::move(db));
    }
}

// Reads the group's keys; on a bad value the group keeps what was read until then.
void ReadGroupSettings(const NamedSection& section, TMyDBUser& db, int dbNumber,
                       StartupState& state) {
    db.connectedUsers = 0;
    db.firstDate = 0;
    db.busy = false;
    db.dataFilePath = section.text("Name");
    db.recordLimit = section.wholeNumber("Count");
    db.archiveLimit = section.wholeNumber("CountArc");
    db.timeBegin = section.text("Time Begin");
    db.timeEnd = section.text("Time End");
    db.step = section.text("Step");
    db.archiveLink = section.wholeNumber("Archive Link") != 0;
    const int userCount = section.wholeNumber("UserCount");
    const std::string tooMany = KeyName(section.name, "UserCount") + " is outside 0 to " +
                                std::to_string(kMaxUsersPerGroup) + ": " +
                                std::to_string(userCount);
    if (userCount > kMaxUsersPerGroup) throw SettingsError(tooMany);
    db.userCount = userCount;
    state.configuredUsers += db.userCount;
    if (db.userCount < 0) throw SettingsError(tooMany);
    for (int i = 0; i < db.userCount; ++i) {
        auto user = std::make_unique<TMyNameUser>();
        user->databaseNumber = dbNumber;
        db.users.push_back(std::move(user));
    }
}

void BuildUser(const NamedSection& section, TMyDBUser& db, TMyNameUser& user, int i,
               StartupState& state) {
    UserValue value = SplitUserValue(section.text(UserKey(i)));
    value.host = LowerAscii(value.host);
    user.online = false;
    user.reconnectCount = 0;
    // The host names the user's inbox file in the mail folder: a host with a path separator
    // would name a file elsewhere, so its user is not served and gets no inbox.
    const bool hostNamesAFile = value.host.find_first_of("/\\") == std::string::npos;
    if (!hostNamesAFile) {
        NoteCheckProblem(KeyName(section.name, UserKey(i)) +
                         ": a host with a path separator is not served: \"" + value.host + "\"");
    }
    // Checked before the user's own record is filled, so that it never matches itself.
    user.valid = hostNamesAFile && CheckUserUnique(value.name, value.host);
    if (!user.valid) {
        DebugLog("Error! Uncorrect Name of user -> Database: " + db.alias +
                 ", User: " + value.name);
        state.ok = false;
    }
    user.name = value.name;
    user.host = value.host;
    if (FormSocksServer && !state.check) FormSocksServer->CreateOutgoingConnection(user);
    user.userListSlot = AppendUserListEntry(user.name, user.host);
    user.connectionHandle = -1;
    if (!state.check && hostNamesAFile) CreateEmptyFileIfMissing(InboxPath(user));
}

// Brings a group with a data file into use, or for a check only looks at it. Its own failures
// are reported and do not count as errors of the settings.
void LoadDatabase(TMyDBUser& db, StartupState& state) {
    const std::string ofGroup = "the data file of group " + db.alias;
    try {
        if (state.check) {
            if (!CurrentEnv().fileExists(db.dataFilePath)) {
                NoteCheckProblem(ofGroup + " does not exist: " + db.dataFilePath);
                state.dataFilesOk = false;
            }
            if (!CheckDatabase(db) && state.dataFilesOk) {
                NoteCheckProblem(ofGroup + " cannot be used as it is: " + db.dataFilePath);
                state.dataFilesOk = false;
            }
        } else {
            if (!StartDatabase(db)) state.dataFilesOk = false;
        }
    } catch (...) {
        WriteLog(Msg(msgIndexOrCorrectionError) + db.alias);
        NoteCheckProblem(ofGroup + " cannot be read: " + db.dataFilePath + " (" + CaughtText() +
                         ")");
        state.dataFilesOk = false;
    }
}

// `keysRead`: false when the group's keys stopped being read at a bad value; the time values
// not read then are no problem of their own.
void PrepareGroupDay(TMyDBUser& db, int k, bool keysRead, StartupState& state) {
    const std::string section = GroupSection(k);
    try {
        InitTimeSlots(db.EmptyDay, WholeNumber(db.timeBegin, KeyName(section, "Time Begin")),
                      WholeNumber(db.timeEnd, KeyName(section, "Time End")),
                      WholeNumber(db.step, KeyName(section, "Step")));
    } catch (...) {
        WriteLog(Msg(msgBadTimeParameters) + db.alias);
        if (keysRead) NoteCheckProblem(CaughtText());
        state.ok = false;
        return;
    }
    if (!db.dataFilePath.empty()) LoadDatabase(db, state);
    if (state.configuredUsers == 0) WriteLog(Msg(msgUserListEmpty));
}

void BuildGroup(const IniFile& ini, int k, StartupState& state) {
    TMyDBUser& db = *DBTable[static_cast<std::size_t>(k - 1)];
    const NamedSection section(ini, GroupSection(k));
    bool keysRead = true;
    try {
        ReadGroupSettings(section, db, k - 1, state);
    } catch (...) {
        WriteLog(Msg(msgBadDatabaseParameters) + db.alias);
        NoteCheckProblem(CaughtText());
        state.ok = false;
        keysRead = false;
    }
    for (std::size_t i = 0; i < db.users.size(); ++i) {
        BuildUser(section, db, *db.users[i], static_cast<int>(i) + 1, state);
    }
    PrepareGroupDay(db, k, keysRead, state);
}

std::string SettingsPath() {
    return JoinPath(Config.appDir, "Server.ini");
}

WebSettings ReadCalendarSettings;

// The sections of the HTTP face, each fault on a line of its own.
void ReadCalendars(const IniFile& ini, StartupState& state) {
    std::vector<std::string> aliases;
    for (const auto& db : DBTable) aliases.push_back(db->alias);
    std::vector<std::string> errors;
    ReadCalendarSettings = ReadWebSettings(ini, aliases, Config.port, errors);
    for (const std::string& error : errors) WriteLog(error);
    if (!errors.empty()) state.ok = false;
}

void ReadSettingsAndBuild(StartupState& state) {
    const std::string iniPath = SettingsPath();
    if (!state.check && !CurrentEnv().fileExists(iniPath)) {
        IniFile newFile(iniPath);
        WriteNewSettingsFile(newFile);
    }
    const IniFile ini(iniPath);
    ReadOptions(ini);
    if (Config.debugMode && !state.check)
        CreateEmptyFileIfMissing(JoinPath(Config.appDir, "debug.log"));
    SelectCatalogue(Config.language);
    if (Config.debugMode) WriteLog("\r\n--DEBUG--");
    WriteLog(Msg(msgStart));
    if (FormMVServer) FormMVServer->ShowStartCaptions();
    ReadNetwork(ini);
    ReadDatabaseList(ini);
    for (int k = 1; k <= static_cast<int>(DBTable.size()); ++k) BuildGroup(ini, k, state);
    ReadCalendars(ini, state);
    WriteLog(Msg(state.ok ? msgInitOk : msgInitWithErrors));
}

// Reads the settings; false when they stopped the reading.
bool ReadSettings(StartupState& state) {
    try {
        ReadSettingsAndBuild(state);
        return true;
    } catch (...) {
        WriteLog(Msg(msgInitSettingsError));
        NoteCheckProblem(CaughtText());
        return false;
    }
}

// What makes a user a duplicate of one stored before it. Records not yet filled have empty
// names and hosts, so an empty name or host is a duplicate of those.
std::string DuplicateUserProblem(const TMyNameUser& stored, const std::string& name,
                                 const std::string& host) {
    const std::string user = "user " + Cp1251ToUtf8(name) + " (" + host + ")";
    if (name.empty()) return user + " has no name";
    if (host.empty()) return user + " has no host";
    if (stored.name == name) return "duplicate user name: " + user + " and " +
                                    Cp1251ToUtf8(stored.name) + " (" + stored.host + ")";
    return "duplicate host " + host + ": " + user + " and " + Cp1251ToUtf8(stored.name) + " (" +
           stored.host + ")";
}

}  // namespace

const WebSettings& CalendarSettings() {
    return ReadCalendarSettings;
}

void WriteDefaultIni(IniFile& ini) {
    ini.writeString("Options", "Language", Config.firstStartLanguage == 1 ? "1" : "0");
    ini.writeString("NetWork", "Port", "6340");
    ini.writeString("NetWork", "DirectSend", "1");
    ini.writeString("NetWork", "Reconnect", "5");
    ini.writeString("NetWork", "TCPNoDelay", "1");
    ini.writeString("NetWork", "Debug", "0");
    ini.writeString("DataBases", "Count", "1");
    ini.writeString("DataBases", "Alias1", "First Group");
    const std::string group = GroupSection(1);
    ini.writeString(group, "Name", "");
    ini.writeString(group, "Count", "7");
    ini.writeString(group, "CountArc", "0");
    ini.writeString(group, "Time Begin", "9");
    ini.writeString(group, "Time End", "20");
    ini.writeString(group, "Step", "0");
    ini.writeString(group, "UserCount", "0");
    ini.writeString(group, "Archive Link", "0");
}

bool CheckUserUnique(const std::string& name, const std::string& host) {
    bool unique = true;
    ForEachUser([&](TMyNameUser& stored) {
        if (unique && (stored.name == name || stored.host == host)) {
            WriteLog(Msg(msgUserOrHostExists) + name + " (" + host + ")");
            NoteCheckProblem(DuplicateUserProblem(stored, name, host));
            unique = false;
        }
    });
    return unique;
}

void InitServer() {
    ReadCalendarSettings = WebSettings{};
    StartupState state;
    CreateMailFolder();
    RemoveSpillFiles();
    ReadSettings(state);
    IndexUsers();
}

bool CheckSettings() {
    const std::string iniPath = SettingsPath();
    if (!CurrentEnv().fileExists(iniPath)) {
        WriteLog("Missing file Server.ini -> " + iniPath);
        NoteCheckProblem("the settings file does not exist: " + iniPath);
        return false;
    }
    ReadCalendarSettings = WebSettings{};
    StartupState state;
    state.check = true;
    return ReadSettings(state) && state.ok && state.dataFilesOk;
}

}  // namespace merivo
