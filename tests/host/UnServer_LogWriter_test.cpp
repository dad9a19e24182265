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

// What arrives on the read end until it stays quiet for waitMs.
std::string ReadText(int fd, int waitMs) {
    std::string text;
    char buffer[65536];
    pollfd ready{fd, POLLIN, 0};
    while (::poll(&ready, 1, waitMs) > 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Everything the writer writes until it has written all it was given (at most 20 s): a busy
// machine may keep the writer's thread from running for longer than any fixed pause.
std::vector<std::string> ReadWritten(int fd, LogWriter& writer) {
    std::string text;
    const auto until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
        const bool drained = writer.drain(0);
        const std::string more = ReadText(fd, 100);
        text += more;
        if (drained && more.empty()) break;
    }
    return Lines(text);
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

    std::vector<std::string> lines = ReadWritten(pipe_[0], writer);
    writer.add("12:00:00 after", "");
    const std::vector<std::string> rest = ReadWritten(pipe_[0], writer);
    ASSERT_EQ(rest.size(), 2u);
    const std::string notice = "12:00:00 " + Txt(txtLogLinesLost);
    ASSERT_TRUE(rest[0].starts_with(notice)) << rest[0];
    EXPECT_EQ(rest[1], "12:00:00 after");
    // Lines are lost whenever the queue is full, and the writer may make room in between (on a
    // busy machine it starts late): every line is either written or counted by a notice.
    lines.push_back(rest[0]);
    std::size_t written = 0;
    std::size_t lost = 0;
    for (const std::string& line : lines) {
        if (line.starts_with(notice)) {
            lost += std::stoul(line.substr(notice.size()));
        } else {
            ASSERT_EQ(line, text);
            ++written;
        }
    }
    EXPECT_EQ(written + lost, std::size_t{kLines});
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
        Lines(ReadText(pipe_[0], 100)),
        (std::vector<std::string>{"12:00:00 first", "12:00:01 Привет", "12:00:02 output only"}));
}

}  // namespace
}  // namespace merivo
