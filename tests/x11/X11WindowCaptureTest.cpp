// Pictures composed from the windows' own contents, against the private Xvfb this program
// runs under (1920×1080, with Composite): stacking and occlusion, translucent windows, the
// root background, windows vanishing under the compositor, and a capture stream that leaves
// chosen windows (the privacy curtain's) out of what the device decodes while the local
// screen still shows them.

#include <gtest/gtest.h>

// Qt before Xlib, whose macros (Bool, Status) break Qt's headers.
#include "adapters/qt/QtPrivacyCurtain.h"
#include "qt/QtLoop.h"
#include "support/GuiApplication.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <functional>
#include <future>
#include <memory>
#include <set>

#include "adapters/x11/X11CaptureService.h"
#include "adapters/x11/X11ErrorTrap.h"
#include "adapters/x11/X11ScreenGrabber.h"
#include "adapters/x11/X11WindowCompositor.h"
#include "platform/SerialQueue.h"
#include "support/DecodedStream.h"
#include "support/FakeVideoSink.h"
#include "support/PictureWatch.h"
#include "support/TestWindows.h"
#include "video/FrameConverter.h"
#include "video/ScreenStreamer.h"

namespace caldrovex {
namespace {

using platform::X11CaptureService;
using platform::X11ErrorTrap;
using platform::X11ScreenGrabber;
using platform::X11WindowCompositor;
using test::DecodedStream;
using test::TestWindows;

constexpr double kDeadline = 20;  // seconds; only ever reached when something is broken

constexpr unsigned long kRed = 0xff0000;
constexpr unsigned long kGreen = 0x00ff00;
constexpr unsigned long kBlue = 0x0000ff;
constexpr unsigned long kWhite = 0xffffff;
constexpr unsigned long kBlack = 0x000000;

// A compositor of the whole screen on a connection of its own, driven by hand: the test
// decides when it reads its events and when it renders.
class Composer {
public:
    Composer()
        : display_(XOpenDisplay(nullptr)),
          trap_(display_.get()),
          area_(X11CaptureService::listDisplays(std::nullopt).front()),
          grabber_(display_.get(), area_.x, area_.y, area_.width, area_.height),
          compositor_(X11WindowCompositor::open(display_.get(), area_, trap_)) {
        if (!compositor_) throw std::runtime_error("the X display lacks Composite or Render");
    }

    // Reads every event the server has sent so far; true when one changed the picture.
    bool settle() {
        XSync(display_.get(), False);
        bool changed = false;
        while (XPending(display_.get()) > 0) {
            XEvent event;
            XNextEvent(display_.get(), &event);
            changed = compositor_->handleEvent(event) || changed;
        }
        return changed;
    }

    void exclude(const std::set<Window>& windows) { compositor_->exclude(windows); }

    // The composition as it is now, pointer drawn in, converted whole to NV12.
    VideoFrame picture() {
        render();
        grabber_.drawCursor();
        FrameConverter converter(area_.width, area_.height, area_.width, area_.height);
        return converter.convert(grabber_.pixels(), grabber_.stride());
    }

    // Renders, events not yet read staying unread.
    void renderAsIs() {
        compositor_->render();
        if (!grabber_.grabFrom(compositor_->buffer())) throw std::runtime_error("grab refused");
    }

    void render() {
        settle();
        renderAsIs();
    }

    // The rendered pixel at (x, y) as 0xRRGGBB.
    unsigned long pixel(int x, int y) const {
        const uint8_t* p =
            grabber_.pixels() + static_cast<ptrdiff_t>(y) * grabber_.stride() + x * 4;
        return static_cast<unsigned long>(p[2]) << 16 | p[1] << 8 | p[0];
    }

    X11WindowCompositor& compositor() { return *compositor_; }

private:
    struct Closer {
        void operator()(Display* display) const { XCloseDisplay(display); }
    };
    std::unique_ptr<Display, Closer> display_;
    X11ErrorTrap trap_;
    CaptureDisplay area_;
    X11ScreenGrabber grabber_;
    std::unique_ptr<X11WindowCompositor> compositor_;
};

// Each channel within `tolerance` of the expected one.
bool near(unsigned long pixel, unsigned long expected, int tolerance = 2) {
    for (int shift : {0, 8, 16}) {
        int a = static_cast<int>((pixel >> shift) & 0xff);
        int b = static_cast<int>((expected >> shift) & 0xff);
        if (std::abs(a - b) > tolerance) return false;
    }
    return true;
}

TEST(X11WindowCompositorTest, WindowsAreDrawnInStackingOrderAndCoveredOnesAreSkipped) {
    TestWindows windows;
    Composer composer;
    Window red = windows.open(100, 100, 400, 300, kRed);
    Window green = windows.open(300, 200, 400, 300, kGreen);
    composer.render();
    EXPECT_EQ(composer.pixel(150, 150), kRed);
    EXPECT_EQ(composer.pixel(350, 250), kGreen) << "the newer window lies on top";
    EXPECT_EQ(composer.pixel(650, 450), kGreen);
    EXPECT_EQ(composer.pixel(50, 50), kBlack) << "no background picture: black";

    windows.raise(red);
    EXPECT_TRUE(composer.settle());
    composer.renderAsIs();
    EXPECT_EQ(composer.pixel(350, 250), kRed);

    // A window wholly under another costs nothing; one partly under is drawn.
    Window blue = windows.open(120, 120, 50, 50, kBlue);
    windows.raise(red);
    composer.render();
    EXPECT_EQ(composer.pixel(130, 130), kRed);
    EXPECT_EQ(composer.compositor().stats().covered, 1);
    EXPECT_EQ(composer.compositor().stats().drawn, 2);

    // Unmapped, the window below shows again.
    windows.unmap(red);
    composer.render();
    EXPECT_EQ(composer.pixel(130, 130), kBlue);
    EXPECT_EQ(composer.pixel(350, 250), kGreen);
    windows.destroy(blue);
    windows.destroy(green);
    composer.render();
    EXPECT_EQ(composer.pixel(350, 250), kBlack);
}

TEST(X11WindowCompositorTest, AWindowReparentedToTheRootIsDrawnWhereItLies) {
    TestWindows windows;
    Composer composer;
    Window frame = windows.open(100, 100, 300, 300, kBlue);
    Window client = windows.openChild(frame, 10, 10, 100, 100, kRed);
    composer.render();
    EXPECT_EQ(composer.pixel(120, 120), kRed);

    // As when a window manager lets go of a window: it comes with no size in the event.
    XReparentWindow(windows.display(), client, DefaultRootWindow(windows.display()), 800, 500);
    windows.sync();
    EXPECT_TRUE(composer.settle());
    composer.renderAsIs();
    EXPECT_EQ(composer.pixel(850, 550), kRed);
    EXPECT_EQ(composer.pixel(120, 120), kBlue);
    windows.destroy(client);
}

TEST(X11WindowCompositorTest, LeftOutWindowsShowWhatLiesBelowThemWhileTheScreenShowsThem) {
    TestWindows windows;
    Composer composer;
    windows.open(100, 100, 200, 200, kRed);
    Window cover = windows.open(0, 0, 1920, 1080, kWhite);
    Window inner = windows.openChild(cover, 10, 10, 50, 50, kBlue);

    // A window inside the cover stands for the cover.
    ASSERT_EQ(composer.compositor().topLevelOf(inner), cover);
    EXPECT_EQ(composer.compositor().topLevelOf(cover), cover);
    EXPECT_FALSE(composer.compositor().topLevelOf(0x7ffffff0));

    composer.exclude({cover});
    composer.render();
    EXPECT_EQ(composer.pixel(150, 150), kRed);
    EXPECT_EQ(composer.pixel(20, 20), kBlack);
    EXPECT_EQ(windows.screenPixel(150, 150), kWhite);
    EXPECT_EQ(windows.screenPixel(20, 20), kBlue);

    composer.exclude({});
    composer.render();
    EXPECT_EQ(composer.pixel(150, 150), kWhite);
    EXPECT_EQ(composer.pixel(20, 20), kBlue);
}

TEST(X11WindowCompositorTest, DrawingUnderALeftOutWindowIsAChange) {
    TestWindows windows;
    Composer composer;
    Window red = windows.open(100, 100, 200, 200, kRed);
    Window cover = windows.open(0, 0, 1920, 1080, kWhite);
    composer.exclude({cover});
    composer.render();
    // Quiet until something is drawn. (A window's first damage report, its whole area,
    // may still come after the first picture.)
    composer.settle();
    EXPECT_FALSE(composer.settle());

    // The local screen does not change (the cover hides it); the window's contents do.
    XSetWindowBackground(windows.display(), red, kGreen);
    XClearWindow(windows.display(), red);
    windows.sync();
    EXPECT_TRUE(composer.settle());
    composer.renderAsIs();
    EXPECT_EQ(composer.pixel(150, 150), kGreen);

    // Drawing on the left-out window itself changes nothing in the picture.
    XSetWindowBackground(windows.display(), cover, kBlue);
    XClearWindow(windows.display(), cover);
    windows.sync();
    EXPECT_FALSE(composer.settle());
}

TEST(X11WindowCompositorTest, TranslucentWindowsAreBlendedOnlyUnderACompositingManager) {
    TestWindows windows;
    Composer composer;
    windows.open(100, 100, 400, 400, kGreen);
    // Half-transparent red, premultiplied.
    windows.openTranslucent(200, 200, 400, 400, 0x80800000);

    // Without a compositing manager the server shows such windows as they are stored.
    composer.render();
    EXPECT_TRUE(near(composer.pixel(250, 250), 0x800000)) << std::hex << composer.pixel(250, 250);

    // With one (this test owns its selection) they are blended over what lies below.
    Display* d = windows.display();
    Atom manager = XInternAtom(d, "_NET_WM_CM_S0", False);
    Window owner = windows.open(0, 0, 1, 1, kBlack);
    XSetSelectionOwner(d, manager, owner, CurrentTime);
    windows.sync();
    composer.render();
    EXPECT_TRUE(near(composer.pixel(250, 250), 0x807f00)) << std::hex << composer.pixel(250, 250);
    EXPECT_TRUE(near(composer.pixel(550, 550), 0x800000)) << "over the black background";

    XSetSelectionOwner(d, manager, None, CurrentTime);
    windows.sync();
    composer.render();
    EXPECT_TRUE(near(composer.pixel(250, 250), 0x800000));
}

TEST(X11WindowCompositorTest, UncoveredAreasShowTheRootBackgroundPicture) {
    TestWindows windows;
    Display* d = windows.display();
    Window root = DefaultRootWindow(d);
    Pixmap wallpaper = XCreatePixmap(d, root, 64, 64, DefaultDepth(d, DefaultScreen(d)));
    GC gc = XCreateGC(d, wallpaper, 0, nullptr);
    XSetForeground(d, gc, 0x336699);
    XFillRectangle(d, wallpaper, gc, 0, 0, 64, 64);
    XFreeGC(d, gc);
    Atom property = XInternAtom(d, "_XROOTPMAP_ID", False);
    Composer composer;
    XChangeProperty(d, root, property, XA_PIXMAP, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&wallpaper), 1);
    windows.sync();
    composer.render();
    EXPECT_EQ(composer.pixel(700, 700), 0x336699u);

    XDeleteProperty(d, root, property);
    XFreePixmap(d, wallpaper);
    windows.sync();
    composer.render();
    EXPECT_EQ(composer.pixel(700, 700), kBlack);
}

TEST(X11WindowCompositorTest, WindowsVanishingBeforeTheirEventsAreReadCostOnlyThemselves) {
    TestWindows windows;
    Composer composer;
    std::vector<Window> made;
    for (int i = 0; i < 20; ++i) made.push_back(windows.open(i * 60, 100, 50, 50, kRed));
    Window keeper = windows.open(0, 500, 100, 100, kGreen);
    composer.render();
    // Resized (their contents must be named anew), then gone before the compositor has read
    // that they went: naming them fails, which costs only their own place in the picture.
    for (Window w : made) XResizeWindow(windows.display(), w, 55, 55);
    windows.sync();
    composer.settle();
    for (Window w : made) windows.destroy(w);
    XSetWindowBackground(windows.display(), keeper, kBlue);
    XClearWindow(windows.display(), keeper);
    windows.sync();
    composer.renderAsIs();
    EXPECT_EQ(composer.pixel(50, 550), kBlue);
    EXPECT_NE(composer.pixel(70, 120), kRed);

    composer.render();
    EXPECT_EQ(composer.pixel(10, 110), kBlack);
    EXPECT_EQ(composer.pixel(50, 550), kBlue);
}

// A capture stream that leaves a window out fetches and converts only the rows of the
// composition that changed: after each change among the other windows, its picture equals the
// whole composition converted anew.
TEST(X11WindowCaptureStreamTest, ComposedPicturesFromTheChangedRowsMatchTheWholeComposition) {
    TestWindows windows;
    Window left = windows.open(100, 100, 400, 300, kRed);
    Window right = windows.open(900, 500, 300, 300, kGreen);
    Window cover = windows.open(0, 0, 1920, 1080, kWhite);
    auto queue = platform::SerialQueue::make("caldrovex.capture");
    test::PictureWatch watch;
    X11CaptureService service;
    auto stream = service.makeStream(X11CaptureService::listDisplays(std::nullopt).front(),
                                     CaptureConfiguration{1920, 1080, 60, true}, queue,
                                     watch.handler(), [](const std::string&) {});
    std::promise<std::optional<CaldrovexError>> started;
    stream->startCapture([&](std::optional<CaldrovexError> error) { started.set_value(error); });
    ASSERT_FALSE(started.get_future().get());
    std::promise<bool> excluded;
    stream->exclude({static_cast<uint32_t>(cover)}, [&](bool done) { excluded.set_value(done); });
    ASSERT_TRUE(excluded.get_future().get());

    Composer composer;
    composer.exclude({cover});
    Display* d = windows.display();
    GC gc = XCreateGC(d, right, 0, nullptr);
    Window extra = 0;
    const std::function<void()> changes[] = {
        [&] {
            XSetWindowBackground(d, left, kBlue);
            XClearWindow(d, left);
        },
        [&] { XMoveWindow(d, right, 700, 300); },
        [&] {
            XSetForeground(d, gc, kBlack);
            XFillRectangle(d, right, gc, 20, 40, 60, 17);
        },
        [&] { extra = windows.open(1500, 50, 200, 90, kGreen); },
        [&] { windows.raise(cover); },
        [&] { windows.destroy(extra); },
    };
    for (size_t step = 0; step < std::size(changes); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        changes[step]();
        windows.sync();
        EXPECT_TRUE(watch.waitForPicture(composer.picture(), kDeadline));
    }
    XFreeGC(d, gc);
    std::promise<void> stopped;
    stream->stopCapture([&](std::optional<CaldrovexError>) { stopped.set_value(); });
    stopped.get_future().get();
}

// Capture streams that leave windows out, seen through the real encoder and decoder.
class X11WindowCaptureTest : public ::testing::Test {
protected:
    std::shared_ptr<platform::SerialQueue> captureQueue =
        platform::SerialQueue::make("caldrovex.capture");
    std::shared_ptr<platform::SerialQueue> timerQueue =
        platform::SerialQueue::make("caldrovex.timeout");
    std::shared_ptr<ScreenStreamer> streamer =
        ScreenStreamer::make(std::make_shared<X11CaptureService>(), captureQueue, timerQueue);
    std::shared_ptr<test::FakeVideoSink> sink =
        test::FakeVideoSink::make(platform::SystemClock::shared());
    TestWindows windows;

    void SetUp() override {
        sink->completesAtOnce = true;
        streamer->pipeline->attach(sink, 30, 6'000'000, false);
        streamer->setErrorCallback([](const std::string& message, int64_t) {
            ADD_FAILURE() << "capture failed: " << message;
        });
    }

    void TearDown() override {
        std::promise<void> done;
        streamer->stop([&] { done.set_value(); });
        done.get_future().get();
    }

    // Starts streaming the screen at half size (960×540).
    void start() {
        std::promise<TimeoutOutcome<RemoteDisplay>> result;
        streamer->start(std::nullopt, 960, 30,
                        [&](TimeoutOutcome<RemoteDisplay> outcome) { result.set_value(outcome); });
        ASSERT_EQ(result.get_future().get().index(), 0u);
    }

    bool exclude(std::set<uint32_t> ids) {
        std::promise<bool> result;
        streamer->exclude(std::move(ids), [&](bool done) { result.set_value(done); });
        return result.get_future().get();
    }

    // Waits for a decoded picture whose luma at each (x, y), in stream pixels, is near its
    // value. Luma of full colours (BT.709, video range): red 63, green 173, blue 32, white
    // 235, black 16.
    struct Probe {
        int x, y, luma;
    };
    static bool shows(const DecodedStream::Picture& picture, std::initializer_list<Probe> probes) {
        for (const Probe& p : probes) {
            if (std::abs(DecodedStream::luma(picture, p.x, p.y) - p.luma) > 8) return false;
        }
        return true;
    }
};

TEST_F(X11WindowCaptureTest, LeftOutWindowsVanishFromTheNextPictureButStayOnTheScreen) {
    windows.open(100, 100, 200, 200, kRed);
    windows.open(1000, 600, 200, 200, kBlue);
    Window cover = windows.open(0, 0, 1920, 1080, kWhite);
    start();
    DecodedStream decoded(sink);
    ASSERT_TRUE(decoded.waitFor([](auto& p) { return shows(p, {{100, 100, 235}}); }, kDeadline));

    ASSERT_TRUE(exclude({static_cast<uint32_t>(cover)}));
    ASSERT_TRUE(decoded.waitFor(
        [](auto& p) {
            return shows(p, {{100, 100, 63}, {550, 350, 32}, {400, 100, 16}});
        },
        kDeadline));
    EXPECT_EQ(windows.screenPixel(200, 200), kWhite);

    // A window that does not exist cannot be left out; what was left out stays so.
    EXPECT_FALSE(exclude({static_cast<uint32_t>(cover), 0x7ffffff0}));
    // Drawing underneath the left-out window comes through.
    Window late = windows.open(1500, 100, 200, 200, kGreen);
    ASSERT_TRUE(decoded.waitFor(
        [](auto& p) {
            return shows(p, {{800, 100, 173}, {100, 100, 63}});
        },
        kDeadline));

    // Nothing left out: the cover shows again (under the newer window).
    ASSERT_TRUE(exclude({}));
    ASSERT_TRUE(decoded.waitFor(
        [](auto& p) {
            return shows(p, {{400, 100, 235}, {800, 100, 173}});
        },
        kDeadline));
    windows.destroy(late);
}

TEST_F(X11WindowCaptureTest, WindowsComingAndGoingDoNotBreakTheCapture) {
    Window cover = windows.open(0, 0, 1920, 1080, kWhite);
    start();
    ASSERT_TRUE(exclude({static_cast<uint32_t>(cover)}));
    DecodedStream decoded(sink);
    for (int round = 0; round < 40; ++round) {
        Window w = windows.open((round * 37) % 1700, (round * 53) % 900, 200, 150,
                                round % 2 ? kRed : kBlue);
        if (round % 3 == 0) windows.unmap(w);
        if (round % 2 == 0) windows.destroy(w);
        decoded.decodeSent([](auto&) { return false; });
    }
    // Still capturing, and what is on screen now is what the device sees.
    windows.open(600, 400, 300, 200, kGreen);
    EXPECT_TRUE(decoded.waitFor([](auto& p) { return shows(p, {{375, 250, 173}}); }, kDeadline));
}

TEST_F(X11WindowCaptureTest, TheCurtainDimsTheScreenButNeverShowsInTheStream) {
    test::guiApplication();
    windows.open(100, 100, 200, 200, kRed);
    windows.open(1000, 600, 200, 200, kBlue);
    Window changing = windows.open(1500, 100, 200, 200, kGreen);
    platform::QtPrivacyCurtain curtain;
    ASSERT_FALSE(curtain.unavailable());
    curtain.prepare();
    start();
    DecodedStream decoded(sink);
    ASSERT_TRUE(decoded.waitFor([](auto& p) { return shows(p, {{100, 100, 63}}); }, kDeadline));

    // The host's order: leave the windows out, then show them.
    ASSERT_TRUE(exclude(curtain.windowIDs()));
    curtain.reveal();
    ASSERT_TRUE(test::runLoopUntil([&] {
        return curtain.windows().front()->opacity() == 1.0 &&
               windows.screenPixel(200, 200) < 0x181818 &&
               windows.screenPixel(1100, 700) < 0x181818;
    })) << "the local screen shows the curtain";

    // Whatever changes behind the curtain, every picture the device gets shows the desktop.
    bool curtainSeen = false;
    for (unsigned long colour : {kWhite, kGreen, kWhite}) {
        XSetWindowBackground(windows.display(), changing, colour);
        XClearWindow(windows.display(), changing);
        windows.sync();
        int wanted = colour == kWhite ? 235 : 173;
        ASSERT_TRUE(test::runLoopUntil([&] {
            return decoded.decodeSent([&](const DecodedStream::Picture& p) {
                curtainSeen = curtainSeen || !shows(p, {{100, 100, 63}, {550, 350, 32}});
                return shows(p, {{800, 100, wanted}});
            });
        }));
    }
    EXPECT_FALSE(curtainSeen);
    EXPECT_LT(windows.screenPixel(1600, 200), 0x181818u) << "still dark on the screen";
    curtain.hide();
}

}  // namespace
}  // namespace caldrovex
