#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "platform/AsioMainQueue.h"
#include "platform/ManualQueue.h"
#include "platform/QueueAssert.h"
#include "platform/SerialQueue.h"

using namespace caldrovex::platform;

TEST(ManualQueue, RunsDueWorkInOrderOfTimeThenPosting) {
    ManualQueue queue;
    std::string order;
    queue.postAfter(2.0, [&] { order += "c"; });
    queue.postAfter(1.0, [&] { order += "a"; });
    queue.postAfter(1.0, [&] { order += "b"; });
    queue.advance(1.5);
    EXPECT_EQ(order, "ab");
    EXPECT_DOUBLE_EQ(queue.monotonic(), 1.5);
    queue.advance(0.5);
    EXPECT_EQ(order, "abc");
}

TEST(ManualQueue, ClockReadsEachItemsDueTimeWhileItRuns) {
    ManualQueue queue;
    double seen = -1;
    queue.postAfter(0.25, [&] { seen = queue.monotonic(); });
    queue.advance(10);
    EXPECT_DOUBLE_EQ(seen, 0.25);
    EXPECT_DOUBLE_EQ(queue.monotonic(), 10);
}

TEST(ManualQueue, WorkPostedWhileAdvancingRunsWhenItFallsInTheWindow) {
    ManualQueue queue;
    int ticks = 0;
    std::function<void()> tick = [&] {
        ++ticks;
        queue.postAfter(3.0, tick);
    };
    queue.postAfter(3.0, tick);
    queue.advance(10);  // due at 3, 6, 9
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(queue.pending(), 1u);
}

TEST(ManualQueue, IsCurrentOnlyInsideItsWork) {
    ManualQueue queue;
    bool inside = false;
    queue.post([&] { inside = queue.isCurrent(); });
    EXPECT_FALSE(queue.isCurrent());
    queue.runReady();
    EXPECT_TRUE(inside);
}

TEST(ManualQueue, AnEnteredThreadCountsAsRunningItUntilItLeaves) {
    ManualQueue queue;
    {
        ManualQueue::Entered entered(queue);
        EXPECT_TRUE(queue.isCurrent());
        bool elsewhere = true;
        std::thread([&] { elsewhere = queue.isCurrent(); }).join();
        EXPECT_FALSE(elsewhere);
        // Running work in between leaves the thread entered.
        queue.post([] {});
        queue.runReady();
        EXPECT_TRUE(queue.isCurrent());
    }
    EXPECT_FALSE(queue.isCurrent());
}

// Debug builds stop at the first call off the queue, naming the queue; work on it passes.
TEST(QueueAssertDeathTest, StopsDebugBuildsOffTheQueue) {
#ifdef NDEBUG
    GTEST_SKIP() << "release builds check nothing";
#else
    ManualQueue queue("caldrovex.test");
    bool ran = false;
    queue.post([&] {
        assertOnQueue(queue);
        ran = true;
    });
    queue.runReady();
    EXPECT_TRUE(ran);
    EXPECT_DEATH(assertOnQueue(queue), "ran off its queue \"caldrovex.test\"");
    auto serial = SerialQueue::make("caldrovex.serial");
    EXPECT_DEATH(assertOnStrand(serial->executor(), serial->label()), "caldrovex.serial");
    serial->sync([&] { assertOnStrand(serial->executor(), serial->label()); });
#endif
}

TEST(ManualQueue, WallTimeFollowsVirtualTime) {
    ManualQueue queue;
    auto start = queue.wall();
    queue.advance(90);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(queue.wall() - start).count(), 90);
}

TEST(SerialQueue, RunsOneItemAtATimeInOrder) {
    auto queue = SerialQueue::make("caldrovex.test");
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<int> seen;
    for (int i = 0; i < 200; ++i) {
        queue->post([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue->sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
}

TEST(SerialQueue, SyncOnItselfRunsInPlace) {
    auto queue = SerialQueue::make("caldrovex.test");
    bool ran = false;
    queue->sync([&] {
        EXPECT_TRUE(queue->isCurrent());
        queue->sync([&] { ran = true; });
    });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueue, DelayedWorkRuns) {
    auto queue = SerialQueue::make("caldrovex.test");
    std::promise<bool> done;
    queue->postAfter(0.01, [&] { done.set_value(queue->isCurrent()); });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(future.get());
}

TEST(AsioMainQueue, RunsPostedWorkUntilStopped) {
    AsioMainQueue queue;
    std::vector<int> seen;
    queue.postAfter(0.01, [&] {
        seen.push_back(2);
        queue.stop();
    });
    queue.post([&] { seen.push_back(1); });
    queue.run();
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}
