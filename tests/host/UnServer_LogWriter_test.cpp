#include "host/UnServer_LogWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>

#include "db/MessageCatalog.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"

namespace merivo {
namespace {

using Clock = std::chrono::steady_clock;

// The lines that arrive on the read end within the wait (the last one when it is complete).
std::vector<std::string> ReadLines(int fd, int waitMs) {
    std::string text;
    char buffer[65536];
    pollfd ready{fd, POLLIN, 0};
    while (::poll(&ready, 1, waitMs) > 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class LogWriterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::pipe(pipe_), 0); }
    void TearDown() override {
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    int pipe_[2] = {-1, -1};
    FakeClock clock;  // noon
    ScopedClock scopedClock{clock};
};

// A reader that does not read: the lines that fit wait, the rest are dropped at once, and once
// the reader reads again the next line is preceded by the count of the lost ones.
TEST_F(LogWriterTest, AnUnreadOutputNeverHoldsUpTheCallerAndTheLossIsCounted) {
    constexpr int kLines = 30000;  // 3 MB: more than the pipe and the queue hold
    const std::string text(99, 'x');
    LogWriter writer(pipe_[1]);
    const auto start = Clock::now();
    for (int i = 0; i < kLines; ++i) writer.add(text, "");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << "an add waited for the reader";

    std::vector<std::string> lines = ReadLines(pipe_[0], 500);
    writer.add("12:00:00 after", "");
    const std::vector<std::string> rest = ReadLines(pipe_[0], 500);
    ASSERT_EQ(rest.size(), 2u);
    const std::string notice = "12:00:00 " + Txt(txtLogLinesLost);
    ASSERT_EQ(rest[0].substr(0, notice.size()), notice);
    EXPECT_EQ(lines.size() + std::stoul(rest[0].substr(notice.size())), std::size_t{kLines});
    EXPECT_EQ(rest[1], "12:00:00 after");
    for (const std::string& line : lines) ASSERT_EQ(line, text);
}

TEST_F(LogWriterTest, DebugLogGetsTheLinesInOrderAsTheyAreAndTheOutputAsUtf8) {
    TempDir dir;
    const std::string debugLog = dir.file("debug.log");
    std::ofstream(debugLog).close();
    {
        LogWriter writer(pipe_[1]);
        writer.add("12:00:00 first", debugLog);
        writer.add("12:00:01 \xcf\xf0\xe8\xe2\xe5\xf2", debugLog);  // "Привет" in Windows-1251
        writer.add("12:00:02 output only", "");
        writer.addToDebugLog("12:00:03 debug.log only", debugLog);
    }
    std::ifstream in(debugLog, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "12:00:00 first\r\n12:00:01 \xcf\xf0\xe8\xe2\xe5\xf2\r\n"
              "12:00:03 debug.log only\r\n");
    EXPECT_EQ(
        ReadLines(pipe_[0], 100),
        (std::vector<std::string>{"12:00:00 first", "12:00:01 Привет", "12:00:02 output only"}));
}

}  // namespace
}  // namespace merivo
