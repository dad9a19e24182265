#include "load/BenchFolder.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "db/UnDBType.h"
#include "db/UnDBserv.h"
#include "platform/DateTime.h"
#include "platform/Env.h"
#include "platform/IniFile.h"

namespace merivo::bench {

namespace {

constexpr int kHostsPerBlock = 254;  // last address bytes 1 to 254
constexpr char kDataFileName[] = "bench.mvd";

std::string ServerIniPath(const std::string& folder) {
    return folder + "/Server.ini";
}

std::string ServerIniText(const SetupOptions& options, const std::string& dataFile) {
    std::string text =
        "[Options]\nLanguage=0\nDEBUG=0\n\n"
        "[NetWork]\nPort=" +
        std::to_string(options.port) + "\nDirectSend=" + (options.directSend ? "1" : "0") +
        "\nReconnect=5\nTCPNoDelay=1\n\n"
        "[DataBases]\nCount=1\nAlias1=Bench\n\n"
        "[DataBase - 1]\nName=" +
        dataFile + "\nCount=" + std::to_string(options.days) +
        "\nCountArc=0\nTime Begin=9\nTime End=20\nStep=0\nArchive Link=0\n"
        "UserCount=" +
        std::to_string(options.users) + "\n";
    for (int k = 0; k < options.users; ++k) {
        text += "User_" + std::to_string(k + 1) + "=" + UserAddress(k) + "::bench" +
                std::to_string(k + 1) + "\n";
    }
    if (options.webPort != 0) {
        text += "\n[Web]\nPort=" + std::to_string(options.webPort) + "\nAddress=127.0.0.1\n\n" +
                "[Web Feeds]\nBench=" + kBenchFeedKey + "\n";
    }
    return text;
}

// Days from today, each with a title, so that a read carries real records.
void WriteDataFile(const std::string& path, int days) {
    auto day = std::make_unique<DayRecord>();
    InitTimeSlots(*day, 9, 20, 0);
    std::unique_ptr<File> file = CurrentEnv().openFile(path, OpenMode::Create);
    const std::int64_t today = Today();
    for (int k = 0; k < days; ++k) {
        day->setDate(static_cast<double>(today + k));
        day->setTitle("Day " + std::to_string(k + 1));
        WriteRecord(*file, *day);
    }
}

}  // namespace

std::string UserAddress(int k) {
    const int n = k + 1;  // 127.0.0.1 is the server's
    const int block = n / kHostsPerBlock;
    const int host = n % kHostsPerBlock + 1;
    return "127.0." + std::to_string(block) + "." + std::to_string(host);
}

void WriteBenchFolder(const SetupOptions& options) {
    if (options.users < 1 || options.users > 10000) {
        throw std::runtime_error("--users must be from 1 to 10000");
    }
    if (options.days < 7) throw std::runtime_error("--days must be 7 or more");
    std::filesystem::create_directories(options.folder);
    const std::string folder = std::filesystem::absolute(options.folder).lexically_normal();
    const std::string ini = ServerIniPath(folder);
    const std::string dataFile = folder + "/" + kDataFileName;
    if (!options.force && (std::filesystem::exists(ini) || std::filesystem::exists(dataFile))) {
        throw std::runtime_error(folder + " already holds Server.ini or " + kDataFileName +
                                 " (--force replaces them)");
    }
    std::filesystem::remove(ArchivePath(dataFile));
    WriteDataFile(dataFile, options.days);
    std::ofstream out(ini, std::ios::binary | std::ios::trunc);
    out << ServerIniText(options, dataFile);
    if (!out.flush()) throw std::runtime_error("cannot write " + ini);
}

BenchFolder ReadBenchFolder(const std::string& folder) {
    const std::string path = ServerIniPath(folder);
    if (!std::filesystem::exists(path)) throw std::runtime_error("no " + path);
    const IniFile ini(path);
    BenchFolder result;
    result.port = ParseWholeNumber(ini.readString("NetWork", "Port")).value_or(6340);
    result.webPort = ParseWholeNumber(ini.readString("Web", "Port")).value_or(0);
    const std::string feedKey = ini.readString("Web Feeds", ini.readString("DataBases", "Alias1"));
    if (!feedKey.empty()) result.feedPath = "/feeds/" + feedKey + ".ics";
    const IniSection group = ini.readSection("DataBase - 1");
    result.dataFile = group.value("Name");
    const int count = ParseWholeNumber(group.value("UserCount")).value_or(0);
    for (int i = 1; i <= count; ++i) {
        const std::string entry = group.value("User_" + std::to_string(i));
        const std::size_t separator = entry.find("::");
        if (separator == std::string::npos) continue;
        result.users.push_back({entry.substr(separator + 2), entry.substr(0, separator)});
    }
    if (result.users.empty()) throw std::runtime_error(path + " names no user in its first group");
    return result;
}

// Read beside a server that keeps the file open: not through the file layer, which opens a file
// once per process (the server may run in this one).
DayRange ReadDayRange(const std::string& dataFile) {
    std::ifstream file(dataFile, std::ios::binary);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(dataFile, error);
    if (!file || error) throw std::runtime_error("cannot read " + dataFile);
    DayRange range;
    range.count = static_cast<std::int64_t>(size / kDayRecordSize);
    std::uint8_t date[sizeof(double)] = {};
    if (range.count > 0 && file.read(reinterpret_cast<char*>(date), sizeof date)) {
        range.firstDay = DayOf(ReadDouble(date));
    }
    return range;
}

}  // namespace merivo::bench
