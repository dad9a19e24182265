#pragma once
// The settings dialog's copy of Server.ini: read when the dialog opens, edited there, written back
// as one change when the administrator confirms. It never touches the server's live tables.
#include <cstdint>
#include <string>
#include <vector>

#include "host/UnServer_Settings.h"

namespace merivo {

class IniFile;

// One group as the dialog edits it. The texts are kept as typed; the server checks them when it
// next starts.
struct TMyDBAlias {
    std::string Name;  // the data file's path; empty for a new group
    std::string Count;
    std::string CountArc;
    std::string TimeBegin;
    std::string TimeEnd;
    std::int32_t Step = 0;  // 0 one hour, 1 two hours, 2 three hours
    bool ArchiveLink = false;
    std::vector<UserValue> Users;
    std::int32_t IniUserCount = 0;  // users of the group in Server.ini when the dialog opened
};

enum class NewUserCheck { Accepted, UserExists, HostExists };

class ServerSettings {
  public:
    // Creates Server.ini with the defaults when it is missing.
    static void CreateIfMissing(const std::string& iniPath);

    // Reads the settings in their fixed order, setting the server's live TCP no-delay switch on
    // the way. False when a value stopped the reading; what was read until then stays.
    bool Load(const IniFile& ini);

    // Writes every setting into the file as it is now, all in one step; surplus users and groups
    // are removed. Throws IoError when the file cannot be written, which then stays as it was.
    void Save(const std::string& iniPath) const;

    // Appends a new group with the default values and no user; returns its index.
    int AddGroup(const std::string& name);
    // Removes group g; returns the group to show next (-1 when none is left).
    int RemoveGroup(int g);

    // Whether a user may join group g, whose users are on screen as gridRows: each user name
    // and each host occurs once in the whole server.
    NewUserCheck CheckNewUser(int g, const std::vector<UserValue>& gridRows,
                              const UserValue& user) const;

    int language = 0;
    std::string port;
    bool directSend = true;
    bool tcpNoDelay = true;
    std::vector<std::string> groupNames;  // in group order, one per record
    std::vector<TMyDBAlias> groups;

  private:
    void LoadNetwork(const IniFile& ini);
    void LoadGroup(const IniFile& ini, int k);
    void SaveGroup(IniFile& ini, int k) const;

    int groupsAtOpening_ = 0;
    // Users of each section when the dialog opened: a section that now holds another group
    // still loses its surplus user keys.
    std::vector<int> sectionUsersAtOpening_;
};

// A dotted IPv4 address in its normal form (numbers without leading zeros); any other host as
// it is.
std::string NormalHost(const std::string& host);

// What a data file name chosen in the file dialog becomes: ".mvd" is appended unless the name
// ends in a three-letter extension.
std::string DataFileName(const std::string& chosen);

}  // namespace merivo
