// X protocol errors on a trapped connection are recorded for that connection instead of
// reaching Xlib's default handler, which would end the test program (and the host) at once.
// gtest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <cstdlib>

#include "adapters/x11/X11ErrorTrap.h"
#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {
namespace {

// A window id no client was given: every request on it fails with BadWindow.
constexpr Window kNoSuchWindow = 0x7ffffff0;

TEST(X11ErrorTrap, ErrorsAreRecordedPerConnectionAndTheConnectionGoesOn) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under tests/run-with-xvfb";
    DisplayHandle first = openDisplay();
    DisplayHandle second = openDisplay();
    ASSERT_TRUE(first && second);
    X11ErrorTrap firstTrap(first.get());
    X11ErrorTrap secondTrap(second.get());

    XMapWindow(first.get(), kNoSuchWindow);
    XUnmapWindow(first.get(), kNoSuchWindow);  // a second failure: the first one is kept
    EXPECT_EQ(firstTrap.check(), BadWindow);
    EXPECT_EQ(secondTrap.check(), 0) << "the other connection saw nothing";
    EXPECT_EQ(firstTrap.check(), 0) << "a checked error is forgotten";

    // The connection still serves requests after its error.
    Window root = DefaultRootWindow(first.get());
    XWindowAttributes attributes{};
    EXPECT_NE(XGetWindowAttributes(first.get(), root, &attributes), 0);
    EXPECT_GT(attributes.width, 0);
    EXPECT_EQ(firstTrap.check(), 0);
}

int foreignErrors = 0;
int countForeignError(Display*, XErrorEvent*) {
    ++foreignErrors;
    return 0;
}

// Qt's xcb platform installs its own handler when it connects, possibly after a trap exists.
TEST(X11ErrorTrap, AHandlerInstalledLaterIsDisplacedAndStillHearsOtherConnections) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under tests/run-with-xvfb";
    DisplayHandle trapped = openDisplay();
    DisplayHandle other = openDisplay();
    ASSERT_TRUE(trapped && other);
    X11ErrorTrap trap(trapped.get());
    XSetErrorHandler(countForeignError);
    foreignErrors = 0;

    XMapWindow(trapped.get(), kNoSuchWindow);
    EXPECT_EQ(trap.check(), BadWindow);
    EXPECT_EQ(foreignErrors, 0);
    XMapWindow(other.get(), kNoSuchWindow);
    XSync(other.get(), False);
    EXPECT_EQ(foreignErrors, 1) << "errors of connections without a trap go to the newer handler";
    XSetErrorHandler(nullptr);  // Xlib's default again: the next trap passes errors on to it
}

}  // namespace
}  // namespace caldrovex::platform
