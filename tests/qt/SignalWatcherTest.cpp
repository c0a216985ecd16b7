#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <vector>

#include "adapters/qt/SignalWatcher.h"
#include "qt/QtLoop.h"

using namespace caldrovex::platform;
using caldrovex::test::qtApplication;
using caldrovex::test::runLoopUntil;

namespace {

// SIGUSR1 and SIGUSR2 stand in for SIGINT and SIGTERM, which would end the test program if
// a watcher were missing.
TEST(SignalWatcher, DeliversEachSignalOnTheLoopAndRestoresTheDefaultAfterwards) {
    qtApplication();
    std::vector<int> received;
    {
        SignalWatcher watcher({SIGUSR1, SIGUSR2});
        watcher.onSignal = [&](int signal) { received.push_back(signal); };
        std::raise(SIGUSR1);
        EXPECT_TRUE(received.empty()) << "not from inside the handler";
        ASSERT_TRUE(runLoopUntil([&] { return received.size() == 1; }));
        std::raise(SIGUSR2);
        ASSERT_TRUE(runLoopUntil([&] { return received.size() == 2; }));
        EXPECT_THROW(SignalWatcher({SIGUSR1}), std::logic_error) << "one watcher per process";
    }
    EXPECT_EQ(received, (std::vector<int>{SIGUSR1, SIGUSR2}));
    struct sigaction action {};
    ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &action), 0);
    EXPECT_EQ(action.sa_handler, SIG_DFL);

    // A new watcher can be made once the old one is gone.
    SignalWatcher again({SIGUSR1});
    int count = 0;
    again.onSignal = [&](int) { ++count; };
    std::raise(SIGUSR1);
    EXPECT_TRUE(runLoopUntil([&] { return count == 1; }));
}

}  // namespace
