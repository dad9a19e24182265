#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

namespace merivo {
namespace {

using Ms = std::chrono::milliseconds;
constexpr int kWaitMs = 5000;

// Waits until condition holds, up to kWaitMs.
template <typename Condition>
bool WaitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + Ms(kWaitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(Ms(1));
    }
    return true;
}

TEST(ThreadTest, ExitCodeIsStillActiveUntilTheBodyReturns) {
    std::atomic<bool> release{false};
    auto thread = Thread::Start([&](Thread&) -> std::uint32_t {
        while (!release) std::this_thread::sleep_for(Ms(1));
        return 7;
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(thread->exitCode(), kStillActive);
    EXPECT_FALSE(thread->finished());
    EXPECT_FALSE(thread->waitFinished(10));
    release = true;
    ASSERT_TRUE(thread->waitFinished(kWaitMs));
    EXPECT_EQ(thread->exitCode(), 7u);
}

TEST(ThreadTest, HandlesAreNonZeroAndDistinct) {
    auto first = Thread::Start([](Thread&) -> std::uint32_t { return 0; });
    auto second = Thread::Start([](Thread&) -> std::uint32_t { return 0; });
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->handle(), 0u);
    EXPECT_NE(first->handle(), second->handle());
    EXPECT_TRUE(first->waitFinished(kWaitMs));
    EXPECT_TRUE(second->waitFinished(kWaitMs));
}

TEST(ThreadTest, ABodyThatThrowsStillFinishes) {
    auto thread = Thread::Start([](Thread&) -> std::uint32_t { throw std::runtime_error("x"); });
    ASSERT_TRUE(thread->waitFinished(kWaitMs));
    EXPECT_NE(thread->exitCode(), kStillActive);
}

TEST(ThreadTest, SuspendWaitsForResume) {
    std::atomic<int> stage{0};
    auto thread = Thread::Start([&](Thread& self) -> std::uint32_t {
        stage = 1;
        self.suspendSelf();
        stage = 2;
        return 0;
    });
    ASSERT_TRUE(WaitUntil([&] { return stage == 1; }));
    std::this_thread::sleep_for(Ms(30));
    EXPECT_EQ(stage, 1);  // still suspended
    thread->resume();
    ASSERT_TRUE(thread->waitFinished(kWaitMs));
    EXPECT_EQ(stage, 2);
}

TEST(ThreadTest, AResumeBeforeTheSuspendIsKeptOnce) {
    std::atomic<bool> go{false};
    std::atomic<int> suspends{0};
    auto thread = Thread::Start([&](Thread& self) -> std::uint32_t {
        while (!go) std::this_thread::sleep_for(Ms(1));
        self.suspendSelf();  // passes at once: the resume came first
        suspends = 1;
        self.suspendSelf();  // waits: the kept resume was used up
        suspends = 2;
        return 0;
    });
    thread->resume();
    go = true;
    ASSERT_TRUE(WaitUntil([&] { return suspends == 1; }));
    EXPECT_FALSE(thread->waitFinished(30));
    thread->resume();
    EXPECT_TRUE(thread->waitFinished(kWaitMs));
}

TEST(ThreadTest, TerminateWakesSuspendAndSleep) {
    std::atomic<bool> suspended{false};
    auto sleeper =
        Thread::Start([](Thread& self) -> std::uint32_t { return self.sleep(60000) ? 1 : 2; });
    auto waiter = Thread::Start([&](Thread& self) -> std::uint32_t {
        suspended = true;
        self.suspendSelf();
        return self.terminateRequested() ? 3 : 4;
    });
    ASSERT_TRUE(WaitUntil([&] { return suspended.load(); }));
    const auto start = std::chrono::steady_clock::now();
    sleeper->terminate();
    waiter->terminate();
    ASSERT_TRUE(sleeper->waitFinished(kWaitMs));
    ASSERT_TRUE(waiter->waitFinished(kWaitMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, Ms(kWaitMs));
    EXPECT_EQ(sleeper->exitCode(), 2u);
    EXPECT_EQ(waiter->exitCode(), 3u);
}

TEST(ThreadTest, SleepRunsOutOrEndsAtOnceAfterTerminate) {
    std::atomic<bool> sleptOut{false};
    auto thread = Thread::Start([&](Thread& self) -> std::uint32_t {
        sleptOut = self.sleep(5);
        while (!self.terminateRequested()) std::this_thread::sleep_for(Ms(1));
        const auto start = std::chrono::steady_clock::now();
        const bool slept = self.sleep(60000);
        return !slept && std::chrono::steady_clock::now() - start < Ms(1000) ? 0 : 2;
    });
    ASSERT_TRUE(WaitUntil([&] { return sleptOut.load(); }));
    EXPECT_TRUE(thread->terminate());
    EXPECT_FALSE(thread->terminate());  // only the first request claims the thread's end
    ASSERT_TRUE(thread->waitFinished(kWaitMs));
    EXPECT_EQ(thread->exitCode(), 0u);
}

TEST(ThreadTest, RunningThreadCountFollowsTheBodies) {
    ASSERT_TRUE(WaitUntil([] { return RunningThreadCount() == 0; }));
    std::atomic<bool> release{false};
    auto body = [&](Thread&) -> std::uint32_t {
        while (!release) std::this_thread::sleep_for(Ms(1));
        return 0;
    };
    auto first = Thread::Start(body);
    auto second = Thread::Start(body);
    EXPECT_EQ(RunningThreadCount(), 2);
    release = true;
    ASSERT_TRUE(first->waitFinished(kWaitMs));
    ASSERT_TRUE(second->waitFinished(kWaitMs));
    EXPECT_EQ(RunningThreadCount(), 0);  // lowered before the exit code is set
}

TEST(ThreadTest, TheThreadOutlivesItsLastOutsideReference) {
    std::atomic<bool> done{false};
    Thread::Start([&](Thread& self) -> std::uint32_t {
        self.sleep(20);
        done = true;
        return 0;
    });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
}

TEST(ThreadTest, ASystemThreadWhoseBodyReturnedTakesTheNextBody) {
    constexpr int kBodies = 20;
    std::set<std::thread::id> systemThreads;
    for (int i = 0; i < kBodies; ++i) {
        std::thread::id ran;
        auto thread = Thread::Start([&ran](Thread&) -> std::uint32_t {
            ran = std::this_thread::get_id();
            return 0;
        });
        ASSERT_TRUE(thread->waitFinished(5000));
        systemThreads.insert(ran);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LT(systemThreads.size(), static_cast<std::size_t>(kBodies));
}

}  // namespace
}  // namespace merivo
