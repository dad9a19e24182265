// Work handed to the main thread: at once on it, in order from other threads once the event loop
// runs, never after the queue is gone.
#include "net/MainThreadQueue.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <thread>
#include <vector>

#include "support/CoreApplication.h"

namespace merivo {
namespace {

class MainThreadQueueTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { EnsureCoreApplication(); }

    // Runs the event loop until `done` or about two seconds have passed.
    template <class Done>
    static void PumpUntil(Done done) {
        for (int i = 0; i < 200 && !done(); ++i) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        }
    }
};

TEST_F(MainThreadQueueTest, RunsAtOnceOnTheMainThreadAndInOrderFromOthers) {
    MainThreadQueue queue;
    std::vector<int> ran;
    queue.run([&] { ran.push_back(0); });
    EXPECT_EQ(ran, std::vector<int>{0});

    std::thread::id ranOn;
    std::thread worker([&] {
        EXPECT_FALSE(queue.onMainThread());
        for (int i = 1; i <= 3; ++i) queue.run([&, i] { ran.push_back(i); });
        queue.run([&] { ranOn = std::this_thread::get_id(); });
    });
    worker.join();
    EXPECT_EQ(ran, std::vector<int>{0});  // nothing runs before the event loop does
    PumpUntil([&] { return ranOn != std::thread::id(); });
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(MainThreadQueueTest, WorkStillQueuedWhenTheQueueGoesIsDropped) {
    bool ran = false;
    {
        MainThreadQueue queue;
        std::thread([&] { queue.run([&] { ran = true; }); }).join();
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace merivo
