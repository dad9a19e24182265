// The merivo-db tool, run as a program on files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "db/UnDBType.h"
#include "db/UnDBserv_DayFiles.h"
#include "platform/DateTime.h"
#include "platform/FileLock.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

class MerivoDbTest : public ::testing::Test {
  protected:
    Result Run(const std::string& arguments) {
        const std::string tool = std::string(MERIVO_BIN_DIR) + "/merivo-db";
        const std::string command =
            tool + " " + arguments + " >" + dir.file("out") + " 2>" + dir.file("err");
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, dir.readFile("out"), dir.readFile("err")};
    }

    std::string Path(const std::string& name) { return dir.file(name); }

    // A failed operation: one line and status 1. A command line that cannot be used: one line
    // naming the problem, then the usage, and status 2.
    void ExpectError(const std::string& arguments, int status) {
        const Result result = Run(arguments);
        EXPECT_EQ(result.status, status) << arguments << ": " << result.err;
        EXPECT_TRUE(result.out.empty()) << arguments;
        const std::size_t lineEnd = result.err.find('\n');
        ASSERT_NE(lineEnd, std::string::npos) << arguments;
        EXPECT_TRUE(result.err.starts_with("merivo-db: ")) << arguments << ": " << result.err;
        const std::string after = result.err.substr(lineEnd + 1);
        EXPECT_EQ(after.starts_with("Usage: merivo-db"), status == 2) << arguments << ": " << after;
        if (status == 1) {
            EXPECT_EQ(after, "") << arguments;
        }
    }

    TempDir dir;
};

const std::int64_t kJan1 = DayOf(EncodeDate(2026, 1, 1));

TEST_F(MerivoDbTest, InfoReportsCountDatesGapsDisorderAndAPartialTail) {
    std::string bytes;
    for (std::int64_t offset : {0, 1, 4, 3, 7}) bytes += DayBytes(kJan1 + offset);
    dir.writeFile("g.mvd", bytes + std::string(10, 'x'));
    const Result result = Run("info " + Path("g.mvd"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "records: 5\n"
              "first: 2026-01-01\n"
              "gap: 2 days missing between 2026-01-02 and 2026-01-05\n"
              "out of order: record 3 (2026-01-04) after 2026-01-05\n"
              "gap: 3 days missing between 2026-01-04 and 2026-01-08\n"
              "last: 2026-01-08\n"
              "trailing partial record: 10 bytes\n");
}

TEST_F(MerivoDbTest, CreateWritesConsecutiveEmptyDays) {
    const Result created = Run("create " + Path("new.mvd") + " 2026-01-01 3");
    ASSERT_EQ(created.status, 0) << created.err;
    DayRecord empty;
    InitTimeSlots(empty, 9, 20, 0);
    const std::string bytes = dir.readFile("new.mvd");
    ASSERT_EQ(bytes.size(), 3 * kDayRecordSize);
    for (int k = 0; k < 3; ++k) {
        empty.setDate(static_cast<double>(kJan1 + k));
        EXPECT_EQ(bytes.compare(k * kDayRecordSize, kDayRecordSize,
                                reinterpret_cast<const char*>(empty.data()), kDayRecordSize),
                  0)
            << "record " << k;
    }
    EXPECT_EQ(Run("info " + Path("new.mvd")).out,
              "records: 3\nfirst: 2026-01-01\nlast: 2026-01-03\n");
    // An existing file is never overwritten.
    ExpectError("create " + Path("new.mvd") + " 2026-01-01 1", 1);
}

TEST_F(MerivoDbTest, ShowPrintsTheDayInUtf8) {
    DayRecord day;
    InitTimeSlots(day, 9, 20, 0);
    day.setDate(static_cast<double>(kJan1 + 1));
    day.setTitle("\xcf\xf0\xe8\xe2\xe5\xf2");  // "Привет" in Windows-1251
    day.setScheduleText(2, "Meeting");
    day.setRowId(2, 0x10005);
    day.setListLine(2, 4, "call back");
    const std::string memo = "memo text";
    std::copy(memo.begin(), memo.end(), day.data() + day::kMemo);
    std::string bytes = DayBytes(kJan1);
    bytes.append(reinterpret_cast<const char*>(day.data()), kDayRecordSize);
    dir.writeFile("g.mvd", bytes);

    const Result result = Run("show " + Path("g.mvd") + " 2026-01-02");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.substr(0, result.out.find("schedule:")),
              "date: 2026-01-02\ntitle: Привет\nmemo: memo text\n");
    EXPECT_NE(result.out.find("  2\t10.00\tMeeting\tID 65541\n"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("list 2:\n  4\tcall back\n"), std::string::npos) << result.out;
}

TEST_F(MerivoDbTest, HelpAndVersionGoToStandardOutput) {
    const Result help = Run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: merivo-db")) << help.out;
    EXPECT_EQ(help.err, "");
    const Result version = Run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("merivo-db ") + MERIVO_VERSION + "\n");
}

TEST_F(MerivoDbTest, BadCommandLinesAndFilesAreTellingErrors) {
    dir.writeFile("text.mvd", std::string(kDayRecordSize, 'a'));
    dir.writeFile("short.mvd", DayBytes(kJan1).substr(0, 100));
    dir.writeFile("g.mvd", DayBytes(kJan1));
    const std::pair<std::string, int> cases[] = {
        {"", 2},
        {"list " + Path("g.mvd"), 2},
        {"--bogus", 2},
        {"info", 2},
        {"info " + Path("missing.mvd"), 1},
        {"info " + Path("text.mvd"), 1},
        {"info " + Path("short.mvd"), 1},
        {"show " + Path("g.mvd") + " 2026-13-01", 2},
        {"show " + Path("g.mvd") + " 1.1.2026", 2},
        {"show " + Path("g.mvd") + " 2026-01-05", 1},
        {"create " + Path("c.mvd") + " 2026-01-01 0", 2},
        {"create " + Path("c.mvd") + " 2026-01-01 12x", 2},
        {"create " + Path("c.mvd") + " 9999-12-30 5", 2},
        {"create " + Path("g.mvd") + " 2026-01-01 1", 1},
    };
    for (const auto& [arguments, status] : cases) ExpectError(arguments, status);
    EXPECT_TRUE(Run("--bogus").err.starts_with("merivo-db: unknown option: --bogus\n"));
}

std::string Days(std::int64_t first, std::int64_t count) {
    std::string bytes;
    for (std::int64_t k = 0; k < count; ++k) bytes += DayBytes(kJan1 + first + k);
    return bytes;
}

class MerivoDbRestructureTest : public MerivoDbTest {
  protected:
    MerivoDbRestructureTest() {
        dir.writeFile("g.arc", Days(0, 5));
        dir.writeFile("g.mvd", Days(5, 10));
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (name != "out" && name != "err") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void ExpectUnchanged() {
        EXPECT_TRUE(dir.readFile("g.arc") == Days(0, 5));
        EXPECT_TRUE(dir.readFile("g.mvd") == Days(5, 10));
        EXPECT_EQ(Files(), (std::vector<std::string>{"g.arc", "g.mvd"}));
    }
};

TEST_F(MerivoDbRestructureTest, MovesTheSplitDropsByDateAndMakesTheBackupCopy) {
    const Result result = Run("restructure " + Path("g.mvd") +
                              " --archive-capacity 4 --split 2026-01-07 --to 2026-01-12");
    ASSERT_EQ(result.status, 0) << result.err;
    // The slider on record 6 lies 4 records after record 2, the from-day.
    EXPECT_TRUE(dir.readFile("g.arc") == Days(2, 2));
    EXPECT_TRUE(dir.readFile("g.mvd") == Days(4, 8));
    const std::vector<std::string> files = Files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_TRUE(dir.readFile(files[2]) == Days(0, 15));
    EXPECT_EQ(result.out, "archive: 5 records before, 2 after\n"
                          "data file: 10 records before, 8 after\n"
                          "backup copy: " + Path(files[2]) + "\n");
}

TEST_F(MerivoDbRestructureTest, WithoutOptionsOnlyTheArchiveCapacityApplies) {
    dir.writeFile("g.mvd", DayBytes(kJan1 + 2, 1) + Days(5, 10));  // out of order
    const Result result = Run("restructure " + Path("g.mvd") + " --archive-capacity 3 --no-copy");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(dir.readFile("g.arc") == Days(0, 2));
    EXPECT_TRUE(dir.readFile("g.mvd") == DayBytes(kJan1 + 2, 1) + Days(3, 12));
    EXPECT_EQ(result.out, "archive: 5 records before, 2 after\n"
                          "data file: 11 records before, 13 after\n"
                          "backup copy: none\n"
                          "The correction of sequence of records is made only. You need repeat "
                          "Restructure.\n");
}

TEST_F(MerivoDbRestructureTest, BadArgumentsAndFailedRunsChangeNothing) {
    const std::string file = " " + Path("g.mvd");
    std::filesystem::create_directory(Path("g.tm~"));  // the new data file cannot be written
    const std::pair<std::string, int> cases[] = {
        {"restructure " + Path("missing.mvd") + " --archive-capacity 3", 1},
        {"restructure" + file, 2},
        {"restructure" + file + " --archive-capacity", 2},
        {"restructure" + file + " --archive-capacity -1", 2},
        {"restructure" + file + " --archive-capacity 2.5", 2},
        {"restructure" + file + " --archive-capacity 3 --split 2026-02-30", 2},
        {"restructure" + file + " --archive-capacity 3 --from 2026-1-2", 2},
        {"restructure" + file + " --archive-capacity 3 --split 2027-01-01", 1},
        {"restructure" + file + " --archive-capacity 3 --from 2026-01-09 --to 2026-01-08", 2},
        {"restructure" + file + " --archive-capacity 3 --copy", 2},
        {"restructure" + file + " --archive-capacity 3", 1},
    };
    for (const auto& [arguments, status] : cases) ExpectError(arguments, status);
    std::filesystem::remove(Path("g.tm~"));
    ExpectUnchanged();
}

TEST_F(MerivoDbRestructureTest, AFileHeldByARunningServerIsRefused) {
    const FileLock server(Path("g.mvd"), false);
    ASSERT_TRUE(server.acquired());
    ExpectError("restructure " + Path("g.mvd") + " --archive-capacity 3", 1);
    EXPECT_NE(Run("restructure " + Path("g.mvd") + " --archive-capacity 3").err.find(
                  "a running server holds this data file"),
              std::string::npos);
    ExpectUnchanged();
}

}  // namespace
}  // namespace merivo
