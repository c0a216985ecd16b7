#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "adapters/qt/QtMainQueue.h"
#include "qt/QtLoop.h"

using namespace caldrovex::platform;
using caldrovex::test::qtApplication;
using caldrovex::test::runLoopUntil;

namespace {

class QtMainQueueTest : public ::testing::Test {
protected:
    // Members are made in order: the application before the queue that needs it.
    QCoreApplication& application = qtApplication();
    QtMainQueue queue{"main"};
};

TEST_F(QtMainQueueTest, RunsWorkFromAnyThreadOnTheMainThreadInPostingOrder) {
    std::vector<int> order;
    bool onMain = true;
    std::thread poster([&] {
        for (int i = 0; i < 5; ++i) {
            queue.post([&, i] {
                onMain = onMain && queue.isCurrent();
                order.push_back(i);
            });
        }
    });
    poster.join();
    ASSERT_TRUE(runLoopUntil([&] { return order.size() == 5; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(onMain);
}

TEST_F(QtMainQueueTest, DelayedWorkRunsAfterImmediateWorkAndInOrderOfDelay) {
    std::string order;
    // Armed from another thread: Qt timers need the main loop, which the queue hands them to.
    std::thread poster([&] {
        queue.postAfter(0.05, [&] { order += "c"; });
        queue.postAfter(0.01, [&] { order += "b"; });
        queue.postAfter(0, [&] { order += "a"; });
    });
    poster.join();
    ASSERT_TRUE(runLoopUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, "abc");
}

TEST_F(QtMainQueueTest, IsCurrentOnlyOnTheMainThread) {
    EXPECT_TRUE(queue.isCurrent());
    std::atomic<bool> elsewhere{true};
    std::thread([&] { elsewhere = queue.isCurrent(); }).join();
    EXPECT_FALSE(elsewhere);
}

TEST_F(QtMainQueueTest, SyncRunsInPlaceOnTheMainThreadAndWaitsFromOthers) {
    bool ran = false;
    queue.sync([&] { ran = true; });
    EXPECT_TRUE(ran) << "in place, without a loop turn";

    std::atomic<bool> returned{false};
    std::atomic<bool> ranOnMain{false};
    std::thread caller([&] {
        queue.sync([&] { ranOnMain = queue.isCurrent(); });
        returned = true;
    });
    ASSERT_TRUE(runLoopUntil([&] { return returned.load(); }));
    caller.join();
    EXPECT_TRUE(ranOnMain);
}

}  // namespace
