// The curtain's Qt windows on the private Xvfb this program runs under: prepared invisible,
// covering each screen, reused, faded in above every other window while clicks go through to
// the window below, hidden again; and the screen changes that ask for a new `prepare`.
//
// What the local screen shows is read back from the root window, as people at the computer
// would see it.

#include <gtest/gtest.h>

// Qt before Xlib, whose macros (Bool, Status) break Qt's headers.
#include <QElapsedTimer>
#include <QScreen>

#include "adapters/qt/QtPrivacyCurtain.h"
#include "adapters/qt/QtScreenChangeNotifier.h"
#include "qt/QtLoop.h"
#include "support/GuiApplication.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "support/TestWindows.h"

namespace caldrovex::platform {
namespace {

using test::runLoopUntil;
using test::TestWindows;

constexpr unsigned long kRed = 0xff0000;

// The curtain is near-black: whatever lies below shows at most a few percent through.
bool dark(unsigned long pixel) {
    return ((pixel >> 16) & 0xff) < 24 && ((pixel >> 8) & 0xff) < 24 && (pixel & 0xff) < 24;
}

class PrivacyCurtainTest : public ::testing::Test {
protected:
    void TearDown() override {
        // No curtain stays on the screen for the tests that follow.
        curtain.hide();
    }

    QGuiApplication& application = test::guiApplication();  // before the curtain
    QtPrivacyCurtain curtain;
    TestWindows windows;
};

TEST_F(PrivacyCurtainTest, PreparedWindowsCoverEachScreenInvisiblyAndAreReused) {
    ASSERT_FALSE(curtain.unavailable()) << curtain.unavailable()->message();
    windows.open(100, 100, 200, 200, kRed);
    curtain.prepare();
    const auto screens = QGuiApplication::screens();
    ASSERT_EQ(curtain.windows().size(), static_cast<size_t>(screens.size()));
    std::vector<const CurtainWindow*> made;
    for (size_t i = 0; i < curtain.windows().size(); ++i) {
        const CurtainWindow& window = *curtain.windows()[i];
        EXPECT_EQ(window.geometry(), screens[static_cast<qsizetype>(i)]->geometry());
        EXPECT_FALSE(window.isVisible());
        EXPECT_EQ(window.opacity(), 0.0);
        made.push_back(&window);
    }
    std::set<uint32_t> ids = curtain.windowIDs();
    EXPECT_EQ(ids.size(), made.size());
    EXPECT_FALSE(ids.contains(0));
    ASSERT_TRUE(runLoopUntil([] { return true; }));
    EXPECT_EQ(windows.screenPixel(150, 150), kRed) << "nothing shows before the reveal";

    // Prepared again without screen changes: the same windows.
    curtain.prepare();
    for (size_t i = 0; i < made.size(); ++i) EXPECT_EQ(curtain.windows()[i].get(), made[i]);
    EXPECT_EQ(curtain.windowIDs(), ids);
}

TEST_F(PrivacyCurtainTest, RevealFadesInAboveAllWindowsAndClicksReachTheWindowBelow) {
    curtain.prepare();
    // Made after the curtain's windows, so it lies above them until the reveal raises them.
    Window below = windows.open(100, 100, 200, 200, kRed);
    Display* d = windows.display();
    XSelectInput(d, below, ButtonPressMask);
    windows.sync();

    QElapsedTimer fading;
    fading.start();
    curtain.reveal();
    const CurtainWindow& window = *curtain.windows().front();
    EXPECT_TRUE(window.isVisible());
    EXPECT_LT(window.opacity(), 1.0);
    ASSERT_TRUE(runLoopUntil([&] { return window.opacity() == 1.0; }));
    EXPECT_GE(fading.elapsed(), static_cast<qint64>(PrivacyCurtain::kFadeSeconds * 1000) - 20);
    ASSERT_TRUE(runLoopUntil([&] { return dark(windows.screenPixel(150, 150)); }))
        << std::hex << windows.screenPixel(150, 150);

    // A click on the curtain lands in the window below it.
    XTestFakeMotionEvent(d, DefaultScreen(d), 150, 150, CurrentTime);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    windows.sync();
    XEvent event;
    bool clicked = false;
    while (XCheckWindowEvent(d, below, ButtonPressMask, &event)) clicked = true;
    EXPECT_TRUE(clicked);

    // Windows mapped or raised later do not come above it.
    Window later = windows.open(400, 400, 100, 100, kRed);
    ASSERT_TRUE(runLoopUntil([&] { return dark(windows.screenPixel(450, 450)); }));
    windows.raise(below);
    ASSERT_TRUE(runLoopUntil([&] { return dark(windows.screenPixel(150, 150)); }));
    windows.destroy(later);

    // A shown curtain stays shown when prepared again; hiding takes it off the screen.
    curtain.prepare();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.opacity(), 1.0);
    curtain.hide();
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.opacity(), 0.0);
    ASSERT_TRUE(runLoopUntil([&] { return windows.screenPixel(150, 150) == kRed; }));
}

TEST_F(PrivacyCurtainTest, OnAWaylandSessionNothingIsEverShown) {
    // X clients on a Wayland session (through Xwayland) could neither cover the desktop nor
    // hear its input.
    const bool wasSet = qEnvironmentVariableIsSet("XDG_SESSION_TYPE");
    const QByteArray session = qgetenv("XDG_SESSION_TYPE");
    qputenv("XDG_SESSION_TYPE", "wayland");
    QtPrivacyCurtain wayland;
    wasSet ? qputenv("XDG_SESSION_TYPE", session) : qunsetenv("XDG_SESSION_TYPE");
    ASSERT_TRUE(wayland.unavailable());
    EXPECT_EQ(wayland.unavailable()->message(),
              "This computer's screen cannot be dimmed on a Wayland session.");
    windows.open(100, 100, 200, 200, kRed);
    wayland.prepare();
    wayland.reveal();
    EXPECT_TRUE(wayland.windows().empty());
    EXPECT_TRUE(wayland.windowIDs().empty());
    runLoopUntil([] { return false; }, 100);
    EXPECT_EQ(windows.screenPixel(150, 150), kRed);
}

// Xvfb has one screen and cannot change it; the curtain is given screen areas instead, real
// windows still covering them.
TEST_F(PrivacyCurtainTest, WindowsFollowTheScreens) {
    QList<QRect> areas{QRect(0, 0, 960, 1080), QRect(960, 0, 960, 1080)};
    QtPrivacyCurtain split([&] { return areas; });
    windows.open(400, 500, 10, 10, kRed);
    windows.open(1500, 500, 10, 10, kRed);
    split.prepare();
    ASSERT_EQ(split.windows().size(), 2u);
    EXPECT_EQ(split.windows()[0]->geometry(), areas[0]);
    EXPECT_EQ(split.windows()[1]->geometry(), areas[1]);
    split.reveal();
    const CurtainWindow* left = split.windows()[0].get();
    ASSERT_TRUE(runLoopUntil([&] {
        return dark(windows.screenPixel(405, 505)) && dark(windows.screenPixel(1505, 505));
    }));

    // The right screen unplugged: its window is taken off the screen and dropped; the left
    // one stays as it was.
    areas.pop_back();
    split.prepare();
    ASSERT_EQ(split.windows().size(), 1u);
    EXPECT_EQ(split.windows()[0].get(), left);
    EXPECT_TRUE(left->isVisible());
    ASSERT_TRUE(runLoopUntil([&] { return windows.screenPixel(1505, 505) == kRed; }));
    EXPECT_TRUE(dark(windows.screenPixel(405, 505)));

    // A screen plugged in anew gets a new window, invisible until revealed.
    areas.push_back(QRect(960, 0, 960, 1080));
    split.prepare();
    ASSERT_EQ(split.windows().size(), 2u);
    EXPECT_TRUE(split.windows()[0]->isVisible());
    EXPECT_FALSE(split.windows()[1]->isVisible());
    split.hide();
}

TEST_F(PrivacyCurtainTest, ScreenChangesInARowAreReportedOnce) {
    QtScreenChangeNotifier notifier;
    int reports = 0;
    notifier.onScreensChanged = [&] { ++reports; };
    QScreen* screen = QGuiApplication::primaryScreen();
    // What Qt signals when a screen is plugged in next to this one: the new screen, then the
    // old one's geometry.
    Q_EMIT test::guiApplication().screenAdded(screen);
    Q_EMIT screen->geometryChanged(screen->geometry());
    EXPECT_EQ(reports, 0) << "reported from the event loop";
    ASSERT_TRUE(runLoopUntil([&] { return reports == 1; }));
    runLoopUntil([] { return false; }, 50);
    EXPECT_EQ(reports, 1);
    Q_EMIT test::guiApplication().screenRemoved(screen);
    ASSERT_TRUE(runLoopUntil([&] { return reports == 2; }));
}

}  // namespace
}  // namespace caldrovex::platform
