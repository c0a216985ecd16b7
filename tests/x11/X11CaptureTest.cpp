// Screen capture against the private Xvfb this program runs under (1920×1080): displays,
// pictures drawn on the screen coming out of the real encoder and decoder, change-driven
// capture, and streams that no longer count.
//
// These tests run on real threads. Waits for something to happen have generous deadlines;
// the few checks that something does NOT happen watch for a fixed short while (many frame
// intervals), which is the only way to see an absence. The timing rules themselves are tested
// on virtual time (CaptureScheduleTest).

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "adapters/x11/X11CaptureService.h"
#include "adapters/x11/X11CaptureStream.h"
#include "adapters/x11/X11ErrorTrap.h"
#include "adapters/x11/X11Handles.h"
#include "adapters/x11/X11ScreenGrabber.h"
#include "platform/SerialQueue.h"
#include "support/DecodedStream.h"
#include "support/FakeVideoSink.h"
#include "support/PictureWatch.h"
#include "support/TestWindows.h"
#include "video/FrameConverter.h"
#include "video/ScreenStreamer.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace caldrovex {
namespace {

using platform::SerialQueue;
using platform::X11CaptureService;

constexpr double kDeadline = 20;  // seconds; only ever reached when something is broken
// How long an absence is watched: nine frame intervals at 30 fps.
constexpr auto kQuietWatch = std::chrono::milliseconds(300);

// Draws on the root window, as any program painting the desktop would.
class Painter {
public:
    Painter() : display_(platform::openDisplay()) {
        if (!display_) throw std::runtime_error("no X display: run under tests/run-with-xvfb");
        gc_ = XCreateGC(display_.get(), root(), 0, nullptr);
    }
    ~Painter() { XFreeGC(display_.get(), gc_); }

    Window root() const { return DefaultRootWindow(display_.get()); }

    // `rgb` as 0xRRGGBB (a 24-bit TrueColor screen).
    void fill(int x, int y, int width, int height, unsigned long rgb) {
        XSetForeground(display_.get(), gc_, rgb);
        XFillRectangle(display_.get(), root(), gc_, x, y, width, height);
        XSync(display_.get(), False);
    }
    void clear() { fill(0, 0, 1920, 1080, 0x000000); }
    // Moves the pointer as a device would (XTest), so raw motion is reported too.
    void movePointer(int x, int y) {
        XTestFakeMotionEvent(display_.get(), DefaultScreen(display_.get()), x, y, CurrentTime);
        XSync(display_.get(), False);
    }
    // Puts the pointer where it cannot cover what the tests look at.
    void parkPointer() { movePointer(1900, 1060); }

private:
    platform::DisplayHandle display_;
    GC gc_;
};

// Counts pictures a capture stream delivers, and lets a test wait for the next one.
struct PictureCounter {
    std::mutex mutex;
    std::condition_variable arrived;
    int count = 0;

    CaptureService::FrameHandler handler() {
        return [this](VideoFrame frame, MediaTime) {
            std::lock_guard guard(mutex);
            last = std::move(frame);
            ++count;
            arrived.notify_all();
        };
    }
    VideoFrame last;

    int now() {
        std::lock_guard guard(mutex);
        return count;
    }
    bool waitFor(int atLeast) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::duration<double>(kDeadline),
                                [&] { return count >= atLeast; });
    }
};

// The brightest luma in a square around (x, y) of an NV12 picture.
int brightestAround(const VideoFrame& frame, int x, int y, int radius) {
    const AVFrame* f = frame.avFrame();
    int brightest = 0;
    for (int row = std::max(0, y - radius); row < std::min(f->height, y + radius); ++row) {
        for (int col = std::max(0, x - radius); col < std::min(f->width, x + radius); ++col) {
            brightest = std::max<int>(brightest, f->data[0][row * f->linesize[0] + col]);
        }
    }
    return brightest;
}

// The screen as it is now, pointer drawn in, converted whole: what a capture that converts
// only the rows that changed must come to.
VideoFrame wholePicture(int width, int height) {
    platform::DisplayHandle display = platform::openDisplay();
    platform::X11ErrorTrap trap(display.get());
    platform::X11ScreenGrabber grabber(display.get(), 0, 0, 1920, 1080);
    if (!grabber.grab()) throw std::runtime_error("grab refused");
    grabber.drawCursor();
    FrameConverter converter(1920, 1080, width, height);
    return converter.convert(grabber.pixels(), grabber.stride());
}

// A capture service that lets the test count what every stream it makes delivers.
class CountingService final : public CaptureService {
public:
    explicit CountingService(std::shared_ptr<PictureCounter> counter)
        : counter_(std::move(counter)) {}

    void displays(std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) override {
        inner_.displays(std::move(done));
    }
    std::shared_ptr<CaptureStream> makeStream(const CaptureDisplay& display,
                                              const CaptureConfiguration& configuration,
                                              platform::QueuePtr queue, FrameHandler onFrame,
                                              StopHandler onStop) override {
        auto counted = [counter = counter_, onFrame = std::move(onFrame)](VideoFrame frame,
                                                                          MediaTime time) {
            counter->handler()(frame, time);
            onFrame(std::move(frame), time);
        };
        return inner_.makeStream(display, configuration, std::move(queue), counted,
                                 std::move(onStop));
    }

private:
    X11CaptureService inner_;
    std::shared_ptr<PictureCounter> counter_;
};

class X11CaptureTest : public ::testing::Test {
protected:
    std::shared_ptr<SerialQueue> captureQueue = SerialQueue::make("caldrovex.capture");
    std::shared_ptr<SerialQueue> timerQueue = SerialQueue::make("caldrovex.timeout");
    Painter painter;

    void SetUp() override {
        painter.parkPointer();
        painter.clear();
    }

    static RemoteDisplay started(ScreenStreamer& streamer, int maxWidth) {
        std::promise<TimeoutOutcome<RemoteDisplay>> result;
        streamer.start(std::nullopt, maxWidth, 30,
                       [&](TimeoutOutcome<RemoteDisplay> outcome) { result.set_value(outcome); });
        auto outcome = result.get_future().get();
        if (auto* error = std::get_if<CaldrovexError>(&outcome)) {
            throw std::runtime_error(error->message());
        }
        return std::get<RemoteDisplay>(outcome);
    }

    static void stopped(ScreenStreamer& streamer) {
        std::promise<void> done;
        streamer.stop([&] { done.set_value(); });
        done.get_future().get();
    }
};

TEST_F(X11CaptureTest, DisplaysCoverTheScreen) {
    auto displays = X11CaptureService::listDisplays(std::nullopt);
    ASSERT_FALSE(displays.empty());
    EXPECT_EQ(displays[0].x, 0);
    EXPECT_EQ(displays[0].y, 0);
    EXPECT_EQ(displays[0].width, 1920);
    EXPECT_EQ(displays[0].height, 1080);

    // Through the streamer: the same displays, each with a name.
    auto streamer =
        ScreenStreamer::make(std::make_shared<X11CaptureService>(), captureQueue, timerQueue);
    std::promise<TimeoutOutcome<std::vector<RemoteDisplay>>> listed;
    streamer->displays([&](auto outcome) { listed.set_value(outcome); });
    auto outcome = listed.get_future().get();
    ASSERT_EQ(outcome.index(), 0u);
    auto remote = std::get<0>(outcome);
    ASSERT_EQ(remote.size(), displays.size());
    EXPECT_EQ(remote[0].id, displays[0].id);
    EXPECT_EQ(remote[0].width, 1920);
    EXPECT_FALSE(remote[0].name.empty());
}

TEST_F(X11CaptureTest, ColoursDrawnOnScreenComeOutOfTheDecodedStream) {
    auto streamer =
        ScreenStreamer::make(std::make_shared<X11CaptureService>(), captureQueue, timerQueue);
    auto sink = test::FakeVideoSink::make(platform::SystemClock::shared());
    sink->completesAtOnce = true;
    streamer->attach(sink, StreamSettings{}, false);

    // Half size: the picture is scaled to 960×540.
    RemoteDisplay display = started(*streamer, 960);
    EXPECT_EQ(display.width, 960);
    EXPECT_EQ(display.height, 540);
    ASSERT_TRUE(sink->waitForFrames(1, kDeadline));

    painter.fill(200, 200, 200, 200, 0xff0000);
    painter.fill(600, 200, 200, 200, 0x00ff00);
    painter.fill(1000, 200, 200, 200, 0x0000ff);
    painter.fill(1400, 200, 200, 200, 0xffffff);

    // Decode everything sent, the way a device does, until a picture shows the colours.
    // Expected luma (BT.709, video range): red 63, green 173, blue 32, white 235.
    struct Probe {
        int x, y, luma;
    };
    const Probe probes[] = {
        {150, 150, 63}, {350, 150, 173}, {550, 150, 32}, {750, 150, 235}, {150, 400, 16}};
    test::DecodedStream decoded(sink);
    bool seen = decoded.waitFor(
        [&](const test::DecodedStream::Picture& picture) {
            EXPECT_EQ(picture.width, 960);
            EXPECT_EQ(picture.height, 540);
            bool all = true;
            for (const Probe& p : probes) {
                all = all && std::abs(test::DecodedStream::luma(picture, p.x, p.y) - p.luma) <= 8;
            }
            return all;
        },
        kDeadline);
    EXPECT_TRUE(seen) << "no decoded picture showed the four colours";
    stopped(*streamer);
}

TEST_F(X11CaptureTest, StillScreenYieldsOnlyTheFirstPictureUntilSomethingChanges) {
    auto counter = std::make_shared<PictureCounter>();
    auto display = X11CaptureService::listDisplays(std::nullopt).front();
    X11CaptureService service;
    auto stream = service.makeStream(display, CaptureConfiguration{640, 360, 30, true},
                                     captureQueue, counter->handler(), [](const std::string&) {});
    std::promise<std::optional<CaldrovexError>> startResult;
    stream->startCapture(
        [&](std::optional<CaldrovexError> error) { startResult.set_value(error); });
    ASSERT_FALSE(startResult.get_future().get());
    ASSERT_TRUE(counter->waitFor(1));

    std::this_thread::sleep_for(kQuietWatch);
    EXPECT_EQ(counter->now(), 1);

    // A change brings one more picture; then it is quiet again.
    painter.fill(10, 10, 40, 40, 0xff0000);
    ASSERT_TRUE(counter->waitFor(2));
    std::this_thread::sleep_for(kQuietWatch);
    EXPECT_EQ(counter->now(), 2);

    // Stopped: no picture after the stop's completion, whatever changes.
    std::promise<void> stopDone;
    stream->stopCapture([&](std::optional<CaldrovexError>) { stopDone.set_value(); });
    stopDone.get_future().get();
    painter.fill(10, 10, 40, 40, 0x00ff00);
    std::this_thread::sleep_for(kQuietWatch);
    captureQueue->sync([] {});
    EXPECT_EQ(counter->now(), 2);
}

TEST_F(X11CaptureTest, PointerIsDrawnInWhenAskedAndItsMovesArePictures) {
    auto display = X11CaptureService::listDisplays(std::nullopt).front();
    for (bool showsCursor : {true, false}) {
        SCOPED_TRACE(showsCursor ? "cursor shown" : "cursor hidden");
        painter.movePointer(500, 500);
        auto counter = std::make_shared<PictureCounter>();
        X11CaptureService service;
        auto stream =
            service.makeStream(display, CaptureConfiguration{1920, 1080, 30, showsCursor},
                               captureQueue, counter->handler(), [](const std::string&) {});
        std::promise<std::optional<CaldrovexError>> startResult;
        stream->startCapture(
            [&](std::optional<CaldrovexError> error) { startResult.set_value(error); });
        ASSERT_FALSE(startResult.get_future().get());
        ASSERT_TRUE(counter->waitFor(1));
        VideoFrame first;
        captureQueue->sync([&] { first = counter->last; });
        // The screen is black; the pointer's image is not.
        EXPECT_EQ(brightestAround(first, 500, 500, 24) > 100, showsCursor);

        // Moving the pointer over the captured display is a change when it is drawn.
        painter.movePointer(700, 500);
        if (showsCursor) {
            ASSERT_TRUE(counter->waitFor(2));
            VideoFrame moved;
            captureQueue->sync([&] { moved = counter->last; });
            EXPECT_GT(brightestAround(moved, 700, 500, 24), 100);
            EXPECT_LE(brightestAround(moved, 500, 500, 24), 20);
        }
        std::promise<void> stopDone;
        stream->stopCapture([&](std::optional<CaldrovexError>) { stopDone.set_value(); });
        stopDone.get_future().get();
    }
    painter.parkPointer();
}

TEST_F(X11CaptureTest, PicturesBuiltFromTheChangedRowsMatchTheScreen) {
    auto display = X11CaptureService::listDisplays(std::nullopt).front();
    struct Size {
        int width, height;
    };
    for (Size size : {Size{1920, 1080}, Size{1280, 720}}) {
        SCOPED_TRACE(std::to_string(size.width) + " wide");
        painter.clear();
        painter.movePointer(400, 300);
        test::PictureWatch watch;
        X11CaptureService service;
        auto stream =
            service.makeStream(display, CaptureConfiguration{size.width, size.height, 60, true},
                               captureQueue, watch.handler(), [](const std::string&) {});
        std::promise<std::optional<CaldrovexError>> startResult;
        stream->startCapture(
            [&](std::optional<CaldrovexError> error) { startResult.set_value(error); });
        ASSERT_FALSE(startResult.get_future().get());

        // Small changes here and there, on the root and by windows coming and going, the
        // pointer moving over some of them: after each, a picture equal to the whole screen
        // grabbed and converted anew must come.
        test::TestWindows windows;
        const unsigned long colours[] = {0xff0000, 0x00ff00, 0x3060c0, 0xffffff, 0x808080};
        std::vector<Window> opened;
        for (int step = 0; step < 12; ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            int x = 37 + step * 151;
            int y = 23 + (step * 397) % 1000;
            painter.fill(x, y, 9 + step * 7, 3 + step * 5, colours[step % 5]);
            if (step % 3 == 0) painter.movePointer(x + 5, y + 2);
            if (step % 4 == 1)
                opened.push_back(windows.open(x, y + 40, 120, 30, colours[step % 5]));
            if (step % 4 == 3) windows.destroy(opened.back());
            windows.sync();
            EXPECT_TRUE(watch.waitForPicture(wholePicture(size.width, size.height), kDeadline));
        }
        std::promise<void> stopDone;
        stream->stopCapture([&](std::optional<CaldrovexError>) { stopDone.set_value(); });
        stopDone.get_future().get();
    }
    painter.parkPointer();
}

TEST_F(X11CaptureTest, RetiredStreamKeepsRunningButFeedsNothing) {
    auto counter = std::make_shared<PictureCounter>();
    auto streamer =
        ScreenStreamer::make(std::make_shared<CountingService>(counter), captureQueue, timerQueue);
    started(*streamer, 1920);
    ASSERT_TRUE(counter->waitFor(1));
    captureQueue->sync([] {});
    EXPECT_TRUE(streamer->pipeline->hasFrame());

    // Windows that do not exist cannot be left out: the request is refused.
    std::promise<bool> excluded;
    streamer->exclude({1, 2}, [&](bool done) { excluded.set_value(done); });
    EXPECT_FALSE(excluded.get_future().get());

    streamer->retire();
    captureQueue->sync([&] { streamer->pipeline->reset(); });
    int before = counter->now();
    painter.fill(300, 300, 50, 50, 0x00ff00);
    // The retired stream did deliver a picture; the streamer let it fall.
    ASSERT_TRUE(counter->waitFor(before + 1));
    captureQueue->sync([] {});
    EXPECT_FALSE(streamer->pipeline->hasFrame());
    stopped(*streamer);
}

}  // namespace
}  // namespace caldrovex
