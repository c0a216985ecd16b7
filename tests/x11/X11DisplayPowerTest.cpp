#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>

#include "platform/x11/X11DisplayPower.h"

using caldrovex::platform::X11DisplayPower;

namespace {

class X11DisplayPowerTest : public ::testing::Test {
protected:
    void SetUp() override {
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr) << "the wrapper's Xvfb is not reachable";
        int event = 0;
        int error = 0;
        if (!DPMSQueryExtension(display, &event, &error) || !DPMSCapable(display))
            GTEST_SKIP() << "this X server has no DPMS (Xvfb has none; a desktop server does)";
        DPMSEnable(display);
        XSync(display, False);
    }
    void TearDown() override {
        if (!display) return;
        DPMSForceLevel(display, DPMSModeOn);
        DPMSDisable(display);
        XCloseDisplay(display);
    }

    Display* display = nullptr;
};

TEST_F(X11DisplayPowerTest, MonitorsSwitchedOffAreAsleepUntilWoken) {
    X11DisplayPower power;
    EXPECT_TRUE(power.displaysAwake());

    DPMSForceLevel(display, DPMSModeOff);
    XSync(display, False);
    EXPECT_FALSE(power.displaysAwake());

    power.wake();
    EXPECT_TRUE(power.displaysAwake());
}

TEST_F(X11DisplayPowerTest, WakeWithDpmsDisabledIsHarmless) {
    DPMSDisable(display);
    XSync(display, False);
    X11DisplayPower power;
    power.wake();
    power.suspendScreenSaver(true);
    power.suspendScreenSaver(false);
    EXPECT_TRUE(power.displaysAwake());
}

TEST(X11DisplayPowerOnXvfb, ItsMonitorIsAwakeWithTheScreenSaverSuspendedOrNot) {
    X11DisplayPower power;
    EXPECT_TRUE(power.displaysAwake());
    power.suspendScreenSaver(true);
    power.wake();
    EXPECT_TRUE(power.displaysAwake());
    power.suspendScreenSaver(false);
}

TEST(X11DisplayPowerWithoutDisplay, AnswersAwakeAndDoesNothing) {
    // No server listens on this local display number.
    X11DisplayPower power(std::string(":4711"));
    power.wake();
    power.suspendScreenSaver(true);
    EXPECT_TRUE(power.displaysAwake());
}

}  // namespace
