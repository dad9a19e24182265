#include "platform/Log.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/Config.h"
#include "platform/Locks.h"

namespace merivo {
namespace {

class RecordingSink : public LogSink {
  public:
    void append(const std::string& message) override {
        holdsLock = LogLock().try_lock();  // recursive: succeeds only on the owning thread
        if (holdsLock) LogLock().unlock();
        lines.push_back(message);
        if (fail) throw std::runtime_error("sink failed");
    }
    std::vector<std::string> lines;
    bool fail = false;
    bool holdsLock = false;
};

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { SetLogSink(&sink); }
    void TearDown() override {
        SetLogSink(nullptr);
        Config.debugMode = false;
    }
    RecordingSink sink;
};

TEST_F(LogTest, WriteLogReachesTheSinkUnderTheLogLock) {
    WriteLog("Initialization -> Ok!");
    ASSERT_EQ(sink.lines, std::vector<std::string>{"Initialization -> Ok!"});
    EXPECT_TRUE(sink.holdsLock);
}

TEST_F(LogTest, DebugLogOnlyInDebugMode) {
    Config.debugMode = false;
    DebugLog("Client_Connect");
    EXPECT_TRUE(sink.lines.empty());
    Config.debugMode = true;
    DebugLog("Client_Connect");
    EXPECT_EQ(sink.lines, std::vector<std::string>{"Client_Connect"});
}

TEST_F(LogTest, NoSinkDropsTheLine) {
    SetLogSink(nullptr);
    WriteLog("dropped");
    SetLogSink(&sink);
    EXPECT_TRUE(sink.lines.empty());
}

TEST_F(LogTest, AFailingSinkNeverReachesTheCaller) {
    sink.fail = true;
    EXPECT_NO_THROW(WriteLog("lost"));
    EXPECT_NO_THROW(WriteLog("lost too"));
    EXPECT_EQ(sink.lines.size(), 2u);
}

TEST(CaughtTextTest, NamesWhatTheCatchBlockHandles) {
    auto caught = [](auto thrown) {
        try {
            throw thrown;
        } catch (...) {
            return CaughtText();
        }
    };
    EXPECT_EQ(caught(std::runtime_error("disk full")), "disk full");
    EXPECT_EQ(caught(42), "unknown exception");
}

TEST_F(LogTest, ACallerHoldingBothLocksMayLog) {
    MutexLock tables(ThreadTableLock());
    MutexLock log(LogLock());
    WriteLog("Terminate all threads - pc7");
    EXPECT_EQ(sink.lines.size(), 1u);
}

TEST_F(LogTest, LinesFromManyThreadsAreNotLost) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 250; ++i) WriteLog("line");
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(sink.lines.size(), 1000u);
}

bool StartsWithError(const std::string& message) {
    return message.rfind("Error", 0) == 0;
}

TEST_F(LogTest, KeepsTheLastFiftyLinesAndCountsTheFailuresAmongTheMessages) {
    SetLogFailureTest(&StartsWithError);
    const std::uint64_t failuresBefore = LoggedFailures();
    Config.debugMode = true;
    DebugLog("Error as a trace");  // traces are never failures
    for (int i = 0; i < 60; ++i) WriteLog((i % 2 ? "Error " : "Note ") + std::to_string(i));
    SetLogSink(nullptr);
    WriteLog("Error nobody saw");
    SetLogSink(&sink);

    EXPECT_EQ(LoggedFailures() - failuresBefore, 30u);
    const std::vector<std::string> recent = RecentLogLines();
    ASSERT_EQ(recent.size(), kRecentLogLines);
    EXPECT_EQ(recent.front().substr(8), " Note 10");  // after its time, hh:nn:ss
    EXPECT_EQ(recent.back().substr(8), " Error 59");
    SetLogFailureTest(nullptr);
}

}  // namespace
}  // namespace merivo
