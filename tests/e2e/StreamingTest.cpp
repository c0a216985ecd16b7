// The real host streams its Xvfb screen to the real reference device over loopback TLS: the
// device sees what is drawn, drives the pointer only when control is allowed, exchanges
// clipboard text both ways, and gets a dropped stream back without a new capture.

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <optional>
#include <string>

#include "e2e/StreamingFixture.h"
#include "e2e/X11Clipboard.h"

namespace caldrovex::test {
namespace {

using nlohmann::json;

using Streaming = StreamingFixture;

TEST_F(Streaming, TheDeviceSeesWhatIsDrawnOnTheScreen) {
    ASSERT_NO_FATAL_FAILURE(startStreaming());
    fillScreen(0xFF0000);
    EXPECT_TRUE(waitForColour({255, 0, 0})) << viewer->transcript();
    fillScreen(0x00C000);
    EXPECT_TRUE(waitForColour({0, 192, 0})) << viewer->transcript();
}

TEST_F(Streaming, ThePointerFollowsTheDeviceOnlyWhenControlIsAllowed) {
    ASSERT_NO_FATAL_FAILURE(startStreaming());
    XWarpPointer(display.get(), None, DefaultRootWindow(display.get()), 0, 0, 0, 0, 10, 10);
    XSync(display.get(), False);
    ASSERT_TRUE(viewer->writeLine("move 0.25 0.75"));
    roundTrip();
    EXPECT_EQ(pointer(), std::make_pair(10, 10)) << "control is off by default";

    const size_t from = viewer->output().size();
    ASSERT_TRUE(host->process.writeLine("control on"));
    auto permissions = waitForMessage("permissions", from);
    ASSERT_TRUE(permissions) << viewer->transcript();
    EXPECT_EQ((*permissions)["controlAllowed"], true);
    ASSERT_TRUE(viewer->writeLine("move 0.25 0.75"));
    const auto [x, y] = pointerNear(kScreenWidth / 4, kScreenHeight * 3 / 4);
    EXPECT_NEAR(x, kScreenWidth / 4, 2);
    EXPECT_NEAR(y, kScreenHeight * 3 / 4, 2);
}

TEST_F(Streaming, ClipboardTextGoesBothWays) {
    ASSERT_NO_FATAL_FAILURE(startStreaming({"--control"}));
    const std::string fromDevice = "from the device: ünïcode ✓";
    {
        // The host takes the selection when it handles the device's text; another application
        // then asks the new owner, as X clients do.
        X11Clipboard::OwnerWatch watch;
        ASSERT_TRUE(viewer->writeLine("clipboard " + fromDevice));
        ASSERT_TRUE(watch.waitForNewOwner(kProcessWait)) << "the host never took the clipboard\n"
                                                         << host->process.transcript();
        EXPECT_EQ(X11Clipboard::read(kProcessWait), fromDevice);
    }

    const std::string fromDesktop = "from the desktop ✓";
    X11Clipboard::Owner owner(fromDesktop);
    ASSERT_TRUE(owner.waitUntilOwning(kProcessWait));
    // The host hears of the new owner on its own X connection, and answers with what it holds
    // until it has: ask until the desktop's text comes, each new question once the owner has
    // answered the host or a moment has passed (a question per reply could outrun the
    // connection's rate limit).
    const auto deadline = std::chrono::steady_clock::now() + kProcessWait;
    std::optional<json> reply;
    while (std::chrono::steady_clock::now() < deadline) {
        const int answered = owner.answered();
        const size_t from = viewer->output().size();
        ASSERT_TRUE(viewer->writeLine("clipboardRequest"));
        reply = waitForMessage("clipboard", from);
        ASSERT_TRUE(reply) << viewer->transcript();
        if ((*reply)["text"] == fromDesktop) break;
        owner.waitForAnswerAfter(answered, std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["text"], fromDesktop);
}

TEST_F(Streaming, ADroppedStreamComesBackWithoutANewCapture) {
    ASSERT_NO_FATAL_FAILURE(startStreaming());
    // Only a capture that has delivered a picture is held for a return.
    ASSERT_TRUE(viewer->waitForPrefix("{\"event\":\"frame\"", 0, kProcessWait))
        << viewer->transcript();
    const size_t before = host->lines();
    ASSERT_TRUE(viewer->writeLine("drop"));
    ASSERT_TRUE(host->next("status: Connection dropped", before)) << host->process.transcript();

    const size_t from = viewer->output().size();
    ASSERT_TRUE(viewer->writeLine("reconnect"));
    size_t streamingAt = 0;
    ASSERT_TRUE(waitForMessage("streaming", from, &streamingAt)) << viewer->transcript();
    for (size_t i = from; i < streamingAt; ++i)
        EXPECT_EQ(viewer->output()[i].find("\"type\":\"permissions\""), std::string::npos)
            << "a held capture resumes without a fresh start: " << viewer->output()[i];
    // The held capture still delivers: a change after the return is seen.
    fillScreen(0x0000FF);
    EXPECT_TRUE(waitForColour({0, 0, 255})) << viewer->transcript();
}

}  // namespace
}  // namespace caldrovex::test
