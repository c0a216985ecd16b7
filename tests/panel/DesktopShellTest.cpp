// The application's desktop side: the panel window made once and raised again, the tray
// symbol following the session, and when the panel opens at launch.

#include <gtest/gtest.h>

#include <QLabel>
#include <memory>

#include "adapters/qt/DesktopShell.h"
#include "adapters/qt/HostPanel.h"
#include "adapters/qt/TrayIcon.h"
#include "app/HostAppDelegate.h"
#include "panel/FakeHostControls.h"
#include "panel/PanelApplication.h"

namespace caldrovex::test {
namespace {

using platform::DesktopShell;

TEST(DesktopShell, PanelWindowIsMadeOnceAndComesBackAfterClosing) {
    panelApplication();
    auto controls = std::make_shared<FakeHostControls>();
    controls->state.status = "Sharing is off";
    DesktopShell shell(controls, "0.1.0");
    EXPECT_FALSE(shell.hasTray()) << "this Xvfb has no tray";
    int shown = 0;
    shell.onPanelShown = [&] { ++shown; };
    EXPECT_EQ(shell.window(), nullptr) << "made on first use";

    shell.showPanel();
    settleEvents();
    QWidget* window = shell.window();
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Orvelo Host");
    EXPECT_EQ(window->size(), QSize(400, 650));
    EXPECT_EQ(shown, 1);

    window->close();
    settleEvents();
    EXPECT_FALSE(window->isVisible());
    shell.showPanel();
    settleEvents();
    EXPECT_EQ(shell.window(), window) << "the same window, not a new one";
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(shown, 2);

    // The window's panel follows the published state.
    controls->state.status = "Ready on your private network";
    shell.refresh();
    EXPECT_FALSE(visibleWithText<QLabel>(window, "Ready on your private network").empty());
}

TEST(TrayIcon, SymbolShowsACheckmarkWhileADeviceIsConnected) {
    panelApplication();
    platform::TrayIcon tray;
    HostPublished state;
    tray.update(state);
    EXPECT_STREQ(tray.symbol(), "display");
    state.activeDevice = "Ada's iPhone";
    tray.update(state);
    EXPECT_STREQ(tray.symbol(), "display.badge.checkmark");
    state.activeDevice.reset();
    tray.update(state);
    EXPECT_STREQ(tray.symbol(), "display");
}

TEST(HostAppDelegate, StartsQuietlyOnlyWithATrayTheDisplaySharingLeftOnAndNoError) {
    struct Case {
        const char* note;
        bool tray, screen, enabled, error, quiet;
    };
    const Case cases[] = {
        {"everything in place", true, true, true, false, true},
        {"no tray: the window is the only way in", false, true, true, false, false},
        {"the display cannot be captured", true, false, true, false, false},
        {"sharing was off at the last quit", true, true, false, false, false},
        {"an error to show", true, true, true, true, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HostAppDelegate::startsQuietly(c.tray, c.screen, c.enabled, c.error), c.quiet)
            << c.note;
}

}  // namespace
}  // namespace caldrovex::test
