// Where the curtain cannot work, the pieces say so plainly and the capture keeps running
// without leaving windows out: an X server of the test's own without Composite or RENDER,
// and a display that cannot be opened.

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "adapters/x11/X11CaptureService.h"
#include "adapters/x11/X11CurtainSupport.h"
#include "adapters/x11/X11LocalInputWatcher.h"
#include "platform/SerialQueue.h"
#include "support/PrivateXServer.h"

namespace caldrovex::platform {
namespace {

TEST(CurtainUnavailableTest, ADisplayWithoutCompositeCannotLeaveWindowsOutButStillStreams) {
    test::PrivateXServer server({"-extension", "Composite", "-extension", "RENDER"});
    Display* display = XOpenDisplay(server.name().c_str());
    ASSERT_NE(display, nullptr);
    auto missing = x11CurtainUnavailable(display);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->message(),
              "This computer's screen cannot be dimmed: the X display lacks the Composite and "
              "RENDER extensions.");
    Window window =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 100, 100, 0, 0, 0xffffff);
    XMapWindow(display, window);
    XSync(display, False);

    // Capture there still gives pictures; it only refuses to leave a window out.
    X11CaptureService service(server.name());
    std::mutex mutex;
    std::condition_variable arrived;
    int pictures = 0;
    auto stream = service.makeStream(
        X11CaptureService::listDisplays(server.name()).front(),
        CaptureConfiguration{640, 360, 30, true}, SerialQueue::make("caldrovex.capture"),
        [&](VideoFrame, MediaTime) {
            std::lock_guard guard(mutex);
            ++pictures;
            arrived.notify_all();
        },
        [](const std::string&) {});
    std::promise<std::optional<CaldrovexError>> started;
    stream->startCapture([&](auto error) { started.set_value(error); });
    ASSERT_FALSE(started.get_future().get());
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(20), [&] { return pictures > 0; }));
    }
    std::promise<bool> excluded;
    stream->exclude({static_cast<uint32_t>(window)}, [&](bool done) { excluded.set_value(done); });
    EXPECT_FALSE(excluded.get_future().get());
    std::promise<void> stopped;
    stream->stopCapture([&](auto) { stopped.set_value(); });
    stopped.get_future().get();
    XCloseDisplay(display);
}

TEST(CurtainUnavailableTest, LocalInputCannotBeWatchedWithoutADisplay) {
    X11LocalInputWatcher watcher(SerialQueue::make("main"), ":65000");
    ASSERT_TRUE(watcher.unavailable());
    EXPECT_EQ(watcher.unavailable()->message(),
              "Input at this computer cannot be watched: the X display could not be opened.");
    EXPECT_FALSE(watcher.start([] { ADD_FAILURE() << "reported without a display"; }));
}

}  // namespace
}  // namespace caldrovex::platform
