#include "net/ProcessTable.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Config.h"
#include "platform/Thread.h"
#include "support/CapturedLog.h"

namespace merivo {
namespace {

class ThreadTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Config.debugMode = true;
        user.host = "pc1";
    }
    void TearDown() override {
        for (auto& thread : started) {
            thread->terminate();
            thread->waitFinished(2000);
        }
        Config.debugMode = false;
    }

    std::shared_ptr<Thread> StartSuspended() {
        auto thread = Thread::Start([](Thread& self) {
            self.suspendSelf();
            return 0u;
        });
        started.push_back(thread);
        return thread;
    }

    TMyNameUser user;
    std::vector<ThreadTableEntry>& table = TransportOf(user).threadTable;
    InstalledLog log;
    std::vector<std::shared_ptr<Thread>> started;
};

TEST_F(ThreadTableTest, EmptyTableOnlyLogsTheTraces) {
    TerminateThreads(user, 1);
    CloseFinishedHandles(user, false);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Terminate all threads - pc1", "CloseHandle 0",
                                                   "Clear Array of Handles"}));
    EXPECT_TRUE(table.empty());
}

TEST_F(ThreadTableTest, TracesOnlyInDebugMode) {
    Config.debugMode = false;
    TerminateThreads(user, 1);
    CloseFinishedHandles(user, true);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ThreadTableTest, FinishedThreadsAreClosedAndTheTableCleared) {
    auto finished = Thread::Start([](Thread&) { return 0u; });
    ASSERT_TRUE(finished->waitFinished(2000));
    table.push_back({finished, 1, 1});
    CloseFinishedHandles(user, false);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"CloseHandle 1",
                                        "CloseHandle -> " + std::to_string(finished->handle()),
                                        "Clear Array of Handles"}));
    EXPECT_TRUE(table.empty());
}

TEST_F(ThreadTableTest, RunningThreadKeepsTheTableUnlessForced) {
    auto running = StartSuspended();
    table.push_back({running, 1, 1});
    CloseFinishedHandles(user, false);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_TRUE(table[0].thread);
    CloseFinishedHandles(user, true);
    EXPECT_TRUE(table.empty());
}

TEST_F(ThreadTableTest, TerminatesRunningThreadsOfTheKindAndCountsThem) {
    auto sender = StartSuspended();
    auto other = StartSuspended();
    table.push_back({sender, 1, 1});
    table.push_back({other, 2, 2});
    table.push_back({nullptr, 3, 1});
    RunningSendThreads = 2;
    TerminateThreads(user, 1);
    EXPECT_TRUE(sender->waitFinished(2000));
    EXPECT_TRUE(sender->terminateRequested());
    EXPECT_FALSE(other->terminateRequested());
    EXPECT_EQ(RunningSendThreads, 1);
    RunningSendThreads = 0;
}

}  // namespace
}  // namespace merivo
