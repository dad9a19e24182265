// The settings reader: the start-up of the server with any Server.ini. The program folder holds a
// small data file, /app/diary.mvd, that settings may name.
//
// Input: the content of Server.ini.
#include <set>

#include "FuzzSupport.h"
#include "db/UnDBType_Packages.h"
#include "host/UnServer.h"
#include "platform/Config.h"
#include "platform/DateTime.h"

namespace {

using namespace merivo;
using namespace merivo::fuzz;

constexpr std::size_t kMaxGroups = 1000;
constexpr std::size_t kMaxUsersPerGroup = 10000;

Bytes SmallDataFile() {
    Bytes bytes;
    for (int offset : {-1, 0, 2}) {
        DayRecord record;
        record.setDate(static_cast<double>(Today() + offset));
        bytes.insert(bytes.end(), record.bytes.begin(), record.bytes.end());
    }
    return bytes;
}

// The table that the start-up built keeps to the limits, and its served users are unique by name
// and by host, every host in lower case, each with its entry in the user-list image.
void CheckTable() {
    Check(DBTable.size() <= kMaxGroups, "more groups than a server holds");
    Check(Config.port >= 0 && Config.userPort == Config.port + 10 && Config.userPort <= 65535,
          "no such port");
    std::set<std::string> names, hosts;
    std::size_t users = 0;
    for (std::size_t k = 0; k < DBTable.size(); ++k) {
        const TMyDBUser& db = *DBTable[k];
        Check(db.users.size() <= kMaxUsersPerGroup, "more users in a group than a server holds");
        for (const auto& user : db.users) {
            ++users;
            Check(user->databaseNumber == static_cast<std::int32_t>(k), "a user in another group");
            Check(LowerAscii(user->host) == user->host, "a host not in lower case");
            if (!user->valid) continue;
            Check(names.insert(user->name).second, "two served users share a name");
            Check(hosts.insert(user->host).second, "two served users share a host");
        }
    }
    Check(UserListImage.size() == 4 + users * kUserListEntrySize,
          "the user-list image does not fit the users");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Sandbox& sandbox = Sandbox::Get();
    sandbox.reset();
    sandbox.env.put("/app/Server.ini", data, size);
    static const Bytes dataFile = SmallDataFile();
    sandbox.env.put("/app/diary.mvd", dataFile);
    InitServer();
    CheckTable();
    return 0;
}
