#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "adapters/x11/X11Handles.h"
#include "adapters/x11/X11PermissionProbe.h"

using caldrovex::platform::DisplaySession;
using caldrovex::platform::X11PermissionProbe;

namespace {

// An X server resets itself whenever its last client leaves, and refuses connections while
// it does. In the host the Qt application keeps a connection open for the whole run; this
// suite does the same, so each probe's short-lived connection meets a settled server.
class X11PermissionProbeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The wrapper starts the server just before the program; give it a moment to settle.
        for (int attempt = 0; attempt < 50 && display == nullptr; ++attempt) {
            display = caldrovex::platform::openDisplay();
            if (display == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    static void TearDownTestSuite() { display.reset(); }
    void SetUp() override { ASSERT_NE(display, nullptr) << "the wrapper's Xvfb is not reachable"; }

    static inline caldrovex::platform::DisplayHandle display;
};

// The wrapper's Xvfb runs on this machine with XTEST and MIT-SHM, so both answers are yes.
TEST_F(X11PermissionProbeTest, LocalDisplayWithXTestAndShmAllowsBoth) {
    X11PermissionProbe probe;
    for (int tick = 0; tick < 3; ++tick) {
        SCOPED_TRACE("probe " + std::to_string(tick));
        EXPECT_TRUE(probe.screenRecording());
        EXPECT_TRUE(probe.accessibility());
    }
}

// Sessions the host cannot share: each allows nothing and says why.
TEST_F(X11PermissionProbeTest, SessionsWithoutAnX11DisplayAllowNothingAndSayWhy) {
    const std::string xvfb = std::getenv("DISPLAY");
    struct Case {
        const char* note;
        DisplaySession session;
        std::string problem;
    };
    const Case cases[] = {
        {"no display at all",
         {std::nullopt, std::nullopt, std::nullopt},
         DisplaySession::kNoDisplayMessage},
        {"a display that does not open",
         {":987654", std::nullopt, "x11"},
         DisplaySession::unreachableMessage(":987654")},
        // XWayland answers on DISPLAY, but shows and takes only X clients' windows.
        {"Wayland by its display",
         {xvfb, "wayland-0", std::nullopt},
         DisplaySession::kWaylandMessage},
        {"Wayland by the session type",
         {xvfb, std::nullopt, "wayland"},
         DisplaySession::kWaylandMessage},
        {"Wayland without XWayland",
         {std::nullopt, "wayland-0", "wayland"},
         DisplaySession::kWaylandMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        X11PermissionProbe probe(c.session);
        EXPECT_FALSE(probe.screenRecording());
        EXPECT_FALSE(probe.accessibility());
        EXPECT_EQ(probe.screenRecordingProblem(), c.problem);
    }
    // An X11 session has no problem to tell.
    EXPECT_EQ(
        X11PermissionProbe(DisplaySession{xvfb, std::nullopt, "x11"}).screenRecordingProblem(),
        std::nullopt);
}

}  // namespace
