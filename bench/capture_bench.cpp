// Capture to encoded frame on a 1920×1080 X screen, one stage at a time: the shared-memory
// grab (pointer drawn in), the conversion to NV12 at the stream size, and the H.264 encode
// (submit, then wait for the output, as the pipeline does when credit allows one frame at a
// time). Reports median and 95th percentile per stage, the encoded rate at 30 fps with the
// host's default target of 6 Mbit/s (or the one given), and the luma PSNR of the decoded
// pictures against the pictures encoded.
//
// Two kinds of change, drawn before each frame (not timed):
//  - typing: one small glyph-sized rectangle appears per frame along a line of text;
//  - full screen: the whole screen scrolls by 8 pixels a frame over a busy picture.
// Each in three builds: "before" (every picture grabbed and converted whole, libx264
// "superfast", as the host did before working on changed rows only), "rows" (only the
// changed rows grabbed and converted) and "after" (changed rows and the host's encoder
// tuning, EncoderTuning).
//
// Then the CPU time of a whole-picture conversion, libswscale against libyuv (when built with
// it); and the grab alone, plain against composed from the windows (the path that leaves the
// privacy curtain out): a desktop of 5 or 30 windows, some maximised, under a full-screen
// window standing for the curtain, one window drawn into before each frame.
//
// Uses $DISPLAY when set, else starts its own Xvfb. Usage: capture_bench [frames] [kbit/s]
//
// With --wayland, the GNOME Wayland road instead, on the headless compositor of
// tests/run-with-mutter: `tests/run-with-mutter capture_bench --wayland [frames]`. A fullscreen
// window of caldrovex-wayland-window (next to the host in the build's bin/) draws the changes
// (typing: one glyph-sized rectangle a frame; full screen: the whole window a new colour), and
// the real capture service (the compositor's screen cast, read through PipeWire and converted
// to NV12 at the stream size) takes them. Per frame, from the compositor's answer to the
// window's commit: "paint", until the compositor drew the frame (the window's frame callback);
// "wake", until the buffer reached the consumer (repaint, the screen cast's read-back and
// PipeWire); "convert", from there to the picture on the capture queue (whole-picture
// conversion, hand-over). The encoder is the same on both roads.

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "EncodeWaiter.h"
#include "adapters/mutter/MutterCaptureService.h"
#include "adapters/pipewire/PipeWireCaptureStream.h"
#include "adapters/x11/X11CaptureService.h"
#include "adapters/x11/X11ErrorTrap.h"
#include "adapters/x11/X11Handles.h"
#include "adapters/x11/X11ScreenGrabber.h"
#include "adapters/x11/X11WindowCompositor.h"
#include "platform/SerialQueue.h"
#include "protocol/StreamSettings.h"
#include "support/ChildProcess.h"
#include "support/H264TestDecoder.h"
#include "video/EncoderTuning.h"
#include "video/FrameConverter.h"
#include "video/H264Encoder.h"
#include "video/LibavEncoderSession.h"
#include "video/RowBands.h"

#ifdef CALDROVEX_HAVE_LIBYUV
#include <libyuv/convert_from_argb.h>
#endif

extern "C" {
#include <libavutil/frame.h>
}

extern char** environ;

using namespace caldrovex;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFps = 30;
// The host's default ceiling for a stream; a second argument sets another (to see the
// encoders where the cap binds).
int64_t bitrate = StreamSettings::kDefaultBitrate;
constexpr int kWarmUpFrames = 15;

// A private X server for the run, stopped when the bench ends.
class PrivateXServer {
public:
    PrivateXServer() {
        for (int n = 150; n < 200; ++n) {
            std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
            std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            struct stat info {};
            if (stat(lock.c_str(), &info) != 0 && stat(socket.c_str(), &info) != 0) {
                name_ = ":" + std::to_string(n);
                socket_ = socket;
                break;
            }
        }
        if (name_.empty()) {
            throw std::runtime_error("no free X display number");
        }
        std::vector<std::string> args = {"Xvfb",         name_,        "-screen",   "0",
                                         "1920x1080x24", "-nolisten",  "tcp",       "+extension",
                                         "RANDR",        "+extension", "DAMAGE",    "+extension",
                                         "XFIXES",       "+extension", "Composite", "-noreset"};
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start Xvfb");
        }
        for (int i = 0; i < 200; ++i) {
            struct stat info {};
            if (stat(socket_.c_str(), &info) == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        throw std::runtime_error("Xvfb did not come up");
    }
    ~PrivateXServer() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::string socket_;
    pid_t pid_ = 0;
};

// Draws the changes the scenarios are made of.
class Painter {
public:
    Painter(Display* display, int width, int height)
        : display_(display), width_(width), height_(height) {
        Window root = DefaultRootWindow(display_);
        gc_ = XCreateGC(display_, root, 0, nullptr);
        // A busy picture twice as wide as the screen, scrolled through by the full-screen
        // change: gradients with text-like noise, so the encoder cannot predict it away.
        int depth = DefaultDepth(display_, DefaultScreen(display_));
        backdrop_ = XCreatePixmap(display_, root, width_ * 2, height_, depth);
        platform::X11Ptr<XImage> image(
            XCreateImage(display_, DefaultVisual(display_, DefaultScreen(display_)), depth, ZPixmap,
                         0, nullptr, width_ * 2, height_, 32, 0));
        image->data =
            static_cast<char*>(std::malloc(static_cast<size_t>(image->bytes_per_line) * height_));
        uint32_t seed = 12345;
        for (int y = 0; y < height_; ++y) {
            for (int x = 0; x < width_ * 2; ++x) {
                seed = seed * 1664525u + 1013904223u;
                bool ink = ((x / 9 + y / 14) % 5 == 0) && (seed >> 29) != 0;
                unsigned long pixel =
                    ink ? 0x202020
                        : ((x * 255 / (width_ * 2)) << 16) | ((y * 255 / height_) << 8) | 0xc0;
                XPutPixel(image.get(), x, y, pixel);
            }
        }
        XPutImage(display_, backdrop_, gc_, image.get(), 0, 0, 0, 0, width_ * 2, height_);
        XSync(display_, False);
    }
    ~Painter() {
        XFreePixmap(display_, backdrop_);
        XFreeGC(display_, gc_);
    }

    void clear() {
        XSetForeground(display_, gc_, 0xf0f0f0);
        XFillRectangle(display_, DefaultRootWindow(display_), gc_, 0, 0, width_, height_);
        XSync(display_, False);
    }
    // One more "character" on a line of text. Returns the rows drawn on.
    RowBands type(int index) {
        int column = index % 150;
        int line = (index / 150) % 40;
        XSetForeground(display_, gc_, 0x101010 + static_cast<unsigned long>(index % 7) * 0x111111);
        XFillRectangle(display_, DefaultRootWindow(display_), gc_, 100 + column * 11,
                       100 + line * 22, 8, 14);
        XSync(display_, False);
        RowBands rows;
        rows.add(100 + line * 22, 100 + line * 22 + 14);
        return rows;
    }
    RowBands scroll(int index) {
        XCopyArea(display_, backdrop_, DefaultRootWindow(display_), gc_, (index * 8) % width_, 0,
                  width_, height_, 0, 0);
        XSync(display_, False);
        return RowBands::all(height_);
    }

private:
    Display* display_;
    int width_;
    int height_;
    GC gc_;
    Pixmap backdrop_;
};

using Waiter = bench::EncodeWaiter;

double ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Spread {
    double median;
    double p95;
};

Spread spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, static_cast<size_t>(q * values.size()))];
    };
    return {at(0.5), at(0.95)};
}

enum class Change { typing, fullScreen };

// How pictures are converted and encoded: as before this work (every picture converted whole,
// libx264 "superfast"), with only the changed rows converted, and as the host does now.
struct Build {
    const char* name;
    bool changedRows;
    EncoderTuning tuning;
};

std::vector<Build> builds() {
    EncoderTuning before;
    before.preset = "superfast";
    before.params = "";
    before.scaledParams = "";
    return {{"before", false, before}, {"rows", true, before}, {"after", true, EncoderTuning{}}};
}

// Squared luma error of a decoded picture against the picture that was encoded.
double squaredError(const test::H264TestDecoder::Picture& decoded, const VideoFrame& source) {
    const AVFrame* f = source.avFrame();
    double sum = 0;
    for (int row = 0; row < decoded.height; ++row) {
        const uint8_t* a = f->data[0] + static_cast<ptrdiff_t>(row) * f->linesize[0];
        const uint8_t* b = decoded.luma.data() + static_cast<ptrdiff_t>(row) * decoded.width;
        for (int x = 0; x < decoded.width; ++x) {
            double d = a[x] - b[x];
            sum += d * d;
        }
    }
    return sum;
}

void run(Display* display, const CaptureDisplay& area, int streamWidth, Change change,
         const Build& build, int frames) {
    Painter painter(display, area.width, area.height);
    painter.clear();
    platform::X11ScreenGrabber grabber(display, area.x, area.y, area.width, area.height);
    int streamHeight = area.height * streamWidth / area.width / 2 * 2;
    FrameConverter converter(area.width, area.height, streamWidth, streamHeight);
    H264Encoder encoder(platform::SystemClock::shared(),
                        LibavEncoderSession::factory(build.tuning));
    encoder.setFps(kFps);
    encoder.setBitrate(bitrate);
    encoder.prepare(streamWidth, streamHeight, streamWidth != area.width);
    Waiter waiter;
    test::H264TestDecoder decoder;

    std::vector<double> grab, convert, encode, total;
    int64_t bytesAtStart = 0;
    int submitted = 0;
    double error = 0;
    int64_t samples = 0;
    RowBands cursor;
    VideoFrame latest;  // kept, as the pipeline keeps its latest picture
    for (int i = 0; i < kWarmUpFrames + frames; ++i) {
        if (i == kWarmUpFrames) {
            bytesAtStart = waiter.bytes;
        }
        RowBands changed = change == Change::typing ? painter.type(i) : painter.scroll(i);
        auto t0 = Clock::now();
        // As the capture does: only the changed rows and the pointer's, old and new, are
        // fetched again (all of them the first time).
        changed.add(cursor);
        changed.add(grabber.locateCursor());
        if (i == 0 || !build.changedRows) changed = RowBands::all(area.height);
        if (!grabber.grab(changed)) throw std::runtime_error("grab refused");
        cursor = grabber.drawCursor();
        auto t1 = Clock::now();
        VideoFrame frame = build.changedRows
                               ? converter.convert(grabber.pixels(), grabber.stride(), changed)
                               : converter.convert(grabber.pixels(), grabber.stride());
        auto t2 = Clock::now();
        encoder.encode(frame, MediaTime::make(i, kFps), waiter.completion());
        waiter.waitFor(++submitted);
        auto t3 = Clock::now();
        if (i >= kWarmUpFrames) {
            grab.push_back(ms(t0, t1));
            convert.push_back(ms(t1, t2));
            encode.push_back(ms(t2, t3));
            total.push_back(ms(t0, t3));
        }
        std::optional<EncodedFrame> encoded = waiter.take();
        if (encoded) {
            for (const auto& picture : decoder.decode(*encoded)) {
                if (i < kWarmUpFrames) continue;
                error += squaredError(picture, frame);
                samples += static_cast<int64_t>(picture.width) * picture.height;
            }
        }
        latest = frame;
    }
    double kbps = static_cast<double>(waiter.bytes - bytesAtStart) * 8 * kFps / frames / 1000;
    double psnr =
        error > 0 ? 10 * std::log10(255.0 * 255.0 * static_cast<double>(samples) / error) : 99.99;
    Spread g = spread(grab), c = spread(convert), e = spread(encode), t = spread(total);
    std::printf(
        "%-11s %4dx%-4d %-7s %6.2f %6.2f   %6.2f %6.2f   %6.2f %6.2f   %6.2f %6.2f   %8.0f %7.2f\n",
        change == Change::typing ? "typing" : "full screen", streamWidth, streamHeight, build.name,
        g.median, g.p95, c.median, c.p95, e.median, e.p95, t.median, t.p95, kbps, psnr);
    std::fflush(stdout);
}

// CPU time of one whole-picture conversion, libswscale (the host's, BT.709) against libyuv
// (which converts only to BT.601 in this version, so the host cannot use it: its colours would
// be off by up to 19 levels of luma on saturated reds).
void compareConverters(Display* display, const CaptureDisplay& area, int frames) {
    Painter painter(display, area.width, area.height);
    painter.scroll(0);
    platform::X11ScreenGrabber grabber(display, area.x, area.y, area.width, area.height);
    if (!grabber.grab()) throw std::runtime_error("grab refused");
    FrameConverter converter(area.width, area.height, area.width, area.height);
    auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
    };
    std::vector<double> swscale, yuv;
    for (int i = 0; i < kWarmUpFrames + frames; ++i) {
        double t0 = cpuMs();
        VideoFrame frame = converter.convert(grabber.pixels(), grabber.stride());
        double t1 = cpuMs();
        if (i >= kWarmUpFrames) swscale.push_back(t1 - t0);
    }
#ifdef CALDROVEX_HAVE_LIBYUV
    std::vector<uint8_t> luma(static_cast<size_t>(area.width) * area.height);
    std::vector<uint8_t> chroma(luma.size() / 2 + area.width);
    for (int i = 0; i < kWarmUpFrames + frames; ++i) {
        double t0 = cpuMs();
        libyuv::ARGBToNV12(grabber.pixels(), grabber.stride(), luma.data(), area.width,
                           chroma.data(), area.width, area.width, area.height);
        double t1 = cpuMs();
        if (i >= kWarmUpFrames) yuv.push_back(t1 - t0);
    }
#endif
    Spread s = spread(swscale);
    std::printf("libswscale, BT.709 bilinear   %6.2f %6.2f\n", s.median, s.p95);
    if (yuv.empty()) {
        std::printf("libyuv                        not built (libyuv-dev missing)\n");
    } else {
        Spread y = spread(yuv);
        std::printf("libyuv ARGBToNV12, BT.601     %6.2f %6.2f\n", y.median, y.p95);
    }
}

// A desktop of plain windows: `count` of them, every tenth maximised, the others 700×500
// spread over the screen, and on top a full-screen window standing for the curtain.
class Desktop {
public:
    Desktop(Display* display, const CaptureDisplay& area, int count) : display_(display) {
        for (int i = 0; i < count; ++i) {
            bool maximised = i % 10 == 0;
            int x = maximised ? area.x : area.x + (i * 173) % (area.width - 700);
            int y = maximised ? area.y : area.y + (i * 97) % (area.height - 500);
            int width = maximised ? area.width : 700;
            int height = maximised ? area.height : 500;
            windows_.push_back(open(x, y, width, height, 0x203040 + i * 0x050301));
        }
        curtain = open(area.x, area.y, area.width, area.height, 0x050505);
        gc_ = XCreateGC(display_, windows_.back(), 0, nullptr);
        XSync(display_, False);
    }
    ~Desktop() {
        XFreeGC(display_, gc_);
        for (Window w : windows_) XDestroyWindow(display_, w);
        XDestroyWindow(display_, curtain);
        XSync(display_, False);
    }
    // Draws into the topmost desktop window, as an application would.
    void change(int index) {
        XSetForeground(display_, gc_, 0x101010 + static_cast<unsigned long>(index % 7) * 0x111111);
        XFillRectangle(display_, windows_.back(), gc_, 20 + (index * 11) % 600, 40, 8, 14);
        XSync(display_, False);
    }

    Window curtain = 0;

private:
    Window open(int x, int y, int width, int height, unsigned long rgb) {
        XSetWindowAttributes attributes{};
        attributes.background_pixel = rgb;
        attributes.override_redirect = True;
        Window w =
            XCreateWindow(display_, DefaultRootWindow(display_), x, y, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                          CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
        XMapWindow(display_, w);
        return w;
    }

    Display* display_;
    std::vector<Window> windows_;
    GC gc_;
};

void drainInto(Display* display, platform::X11WindowCompositor& compositor) {
    XSync(display, False);
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        compositor.handleEvent(event);
    }
}

void compareGrabs(Display* display, const CaptureDisplay& area, platform::X11ErrorTrap& trap,
                  int windows, int frames) {
    Desktop desktop(display, area, windows);
    platform::X11ScreenGrabber grabber(display, area.x, area.y, area.width, area.height);
    std::vector<double> plain;
    for (int i = 0; i < kWarmUpFrames + frames; ++i) {
        desktop.change(i);
        auto t0 = Clock::now();
        if (!grabber.grab()) throw std::runtime_error("grab refused");
        grabber.drawCursor();
        if (i >= kWarmUpFrames) plain.push_back(ms(t0, Clock::now()));
    }
    auto compositor = platform::X11WindowCompositor::open(display, area, trap);
    if (!compositor) throw std::runtime_error("the display lacks Composite or Render");
    compositor->exclude({desktop.curtain});
    std::vector<double> composed;
    for (int i = 0; i < kWarmUpFrames + frames; ++i) {
        desktop.change(i);
        drainInto(display, *compositor);
        auto t0 = Clock::now();
        compositor->render();
        if (!grabber.grabFrom(compositor->buffer())) throw std::runtime_error("grab refused");
        grabber.drawCursor();
        if (i >= kWarmUpFrames) composed.push_back(ms(t0, Clock::now()));
    }
    auto stats = compositor->stats();
    compositor.reset();
    Spread p = spread(plain), c = spread(composed);
    std::printf("%7d   %6.2f %6.2f   %6.2f %6.2f   %5d %7d\n", windows, p.median, p.p95, c.median,
                c.p95, stats.drawn, stats.covered);
}

// ---- The GNOME Wayland road ----

double monotonicSeconds() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// The window the changes are drawn in; each "fill" is one commit, answered once the
// compositor has handled it.
class WaylandWindow {
public:
    WaylandWindow()
        : process_((std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
                    "bin" / "caldrovex-wayland-window")
                       .string(),
                   {"f0f0f0"}, {}) {
        if (!process_.waitForPrefix("ready ", 0, kWait))
            throw std::runtime_error("the Wayland window did not show: " + process_.transcript());
    }
    // Draws "RRGGBB X Y W H" and returns when the compositor had it (CLOCK_MONOTONIC s).
    double fill(const std::string& rect) {
        from_ = process_.lineCount();
        process_.writeLine("fill " + rect);
        auto filled = process_.waitForPrefix("filled ", from_, kWait);
        if (!filled) throw std::runtime_error("the Wayland window did not draw");
        double sent = 0, drawn = 0;
        std::istringstream(filled->substr(7)) >> sent >> drawn;
        return drawn;
    }
    // When the compositor drew the last fill on its screen.
    double painted() {
        auto line = process_.waitForPrefix("painted ", from_, kWait);
        if (!line) throw std::runtime_error("the compositor did not draw the window");
        return std::stod(line->substr(8));
    }

private:
    static constexpr std::chrono::milliseconds kWait{30'000};
    test::ChildProcess process_;
    size_t from_ = 0;
};

// When each picture was taken from the stream and when it reached the capture queue.
struct Taken {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<double, double>> pictures;  // guarded by mutex
};

// The outcome of an asynchronous call; throws when it does not come within 30 seconds.
template <typename Outcome>
Outcome await(const std::function<void(std::function<void(Outcome)>)>& call) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    call([promise](Outcome outcome) { promise->set_value(std::move(outcome)); });
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
        throw std::runtime_error("the compositor did not answer");
    return future.get();
}

void runWayland(CaptureService& service, const CaptureDisplay& area, WaylandWindow& window,
                int streamWidth, Change change, int frames) {
    CaptureConfiguration configuration;
    configuration.width = streamWidth;
    configuration.height = area.height * streamWidth / area.width / 2 * 2;
    configuration.fps = kFps;
    auto taken = std::make_shared<Taken>();
    auto stream = service.makeStream(
        area, configuration, platform::SerialQueue::make("capture_bench.capture"),
        [taken](VideoFrame, MediaTime time) {
            std::lock_guard guard(taken->mutex);
            taken->pictures.emplace_back(time.seconds(), monotonicSeconds());
            taken->arrived.notify_all();
        },
        [](const std::string& message) {
            std::fprintf(stderr, "capture_bench: the stream stopped: %s\n", message.c_str());
        });
    using Done = std::optional<CaldrovexError>;
    auto started = await<Done>([&](auto done) { stream->startCapture(done); });
    if (started) throw std::runtime_error(started->message());
    std::vector<double> paint, wake, convert, total;
    int missed = 0;
    for (int i = 0; i < kWarmUpFrames + frames; ++i) {
        // Changes further apart than the stream's frame interval, so that none waits for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(2000 / kFps));
        size_t before = 0;
        {
            std::lock_guard guard(taken->mutex);
            before = taken->pictures.size();
        }
        char rect[64];
        const int grey = 0x30 + (i * 37) % 0xa0;
        if (change == Change::typing) {
            std::snprintf(rect, sizeof rect, "101010 %d %d 8 14", 100 + (i % 150) * 11,
                          100 + (i / 150 % 40) * 22);
        } else {
            std::snprintf(rect, sizeof rect, "%02x%02x%02x 0 0 %d %d", grey, 0xff - grey, grey,
                          area.width, area.height);
        }
        const double drawnAt = window.fill(rect);
        const double paintedAt = window.painted();
        std::unique_lock lock(taken->mutex);
        if (!taken->arrived.wait_for(lock, std::chrono::seconds(2),
                                     [&] { return taken->pictures.size() > before; })) {
            ++missed;
            continue;
        }
        const auto [takenAt, queuedAt] = taken->pictures[before];
        if (i < kWarmUpFrames) continue;
        paint.push_back((paintedAt - drawnAt) * 1e3);
        wake.push_back((takenAt - drawnAt) * 1e3);
        convert.push_back((queuedAt - takenAt) * 1e3);
        total.push_back((queuedAt - drawnAt) * 1e3);
    }
    await<Done>([&](auto done) { stream->stopCapture(done); });
    if (total.empty()) throw std::runtime_error("no picture came from the screen cast");
    Spread p = spread(paint), w = spread(wake), c = spread(convert), t = spread(total);
    std::printf("%-11s %4dx%-4d %6.2f %6.2f   %6.2f %6.2f   %6.2f %6.2f   %6.2f %6.2f   %6d\n",
                change == Change::typing ? "typing" : "full screen", configuration.width,
                configuration.height, p.median, p.p95, w.median, w.p95, c.median, c.p95, t.median,
                t.p95, missed);
    std::fflush(stdout);
}

int wayland(int frames) {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    if (type == nullptr || std::string(type) != "wayland") {
        std::fprintf(stderr,
                     "capture_bench: --wayland runs on a GNOME Wayland session: "
                     "tests/run-with-mutter capture_bench --wayland [frames]\n");
        return 2;
    }
    auto gnome = platform::MutterDesktop::open();
    if (!gnome || !gnome->offersScreenCast()) {
        std::fprintf(stderr, "capture_bench: the session bus offers no GNOME screen cast\n");
        return 1;
    }
    platform::MutterCaptureService service(
        gnome, platform::PipeWireCaptureStream::factory(platform::SystemClock::shared()));
    auto displays = await<TimeoutOutcome<std::vector<CaptureDisplay>>>(
        [&](auto done) { service.displays(done); });
    auto* listed = std::get_if<std::vector<CaptureDisplay>>(&displays);
    if (listed == nullptr || listed->empty()) {
        std::fprintf(stderr, "capture_bench: the compositor lists no monitor\n");
        return 1;
    }
    const CaptureDisplay area = listed->front();
    WaylandWindow window;
    std::printf(
        "GNOME Wayland %s: %dx%d, %d frames per row after %d warm-up, changes %d ms apart\n",
        area.name.c_str(), area.width, area.height, frames, kWarmUpFrames, 2000 / kFps);
    std::printf("%-11s %-9s %-13s   %-13s   %-13s   %-13s   %6s\n", "change", "stream", "paint ms",
                "wake ms", "convert ms", "capture ms", "missed");
    std::printf("%-11s %-9s %-13s   %-13s   %-13s   %-13s\n", "", "", "median p95", "median p95",
                "median p95", "median p95");
    for (int width : {area.width, 1280}) {
        for (Change change : {Change::typing, Change::fullScreen}) {
            runWayland(service, area, window, width, change, frames);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--wayland") {
        const int frames = argc > 2 ? std::atoi(argv[2]) : 150;
        if (frames <= 0) {
            std::fprintf(stderr, "usage: capture_bench --wayland [frames]\n");
            return 2;
        }
        try {
            return wayland(frames);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "capture_bench: %s\n", error.what());
            return 1;
        }
    }
    int frames = argc > 1 ? std::atoi(argv[1]) : 150;
    bitrate = argc > 2 ? std::atoi(argv[2]) * 1000 : bitrate;
    if (frames <= 0 || bitrate <= 0) {
        std::fprintf(stderr, "usage: capture_bench [frames] [kbit/s] | --wayland [frames]\n");
        return 2;
    }
    std::optional<PrivateXServer> server;
    std::optional<std::string> name;
    if (const char* given = std::getenv("DISPLAY"); given != nullptr && *given != '\0') {
        name = given;
    } else {
        server.emplace();
        name = server->name();
    }
    platform::DisplayHandle connection = platform::openDisplay(name);
    Display* display = connection.get();
    if (display == nullptr) {
        std::fprintf(stderr, "capture_bench: cannot open display %s\n", name->c_str());
        return 1;
    }
    {
        platform::X11ErrorTrap trap(display);
        CaptureDisplay area = platform::X11CaptureService::listDisplays(name).front();
        std::printf(
            "display %s: %dx%d, %d frames per row after %d warm-up, %d fps, target %d kbit/s, %s\n",
            name->c_str(), area.width, area.height, frames, kWarmUpFrames, kFps,
            static_cast<int>(bitrate / 1000), "encoder as the host opens it");
        std::printf("%-11s %-9s %-7s %-13s   %-13s   %-13s   %-13s   %8s %7s\n", "change", "stream",
                    "build", "grab ms", "convert ms", "encode ms", "total ms", "kbit/s", "PSNR-Y");
        std::printf("%-11s %-9s %-7s %-13s   %-13s   %-13s   %-13s\n", "", "", "", "median p95",
                    "median p95", "median p95", "median p95");
        for (int width : {area.width, 1280}) {
            for (Change change : {Change::typing, Change::fullScreen}) {
                for (const Build& build : builds()) {
                    run(display, area, width, change, build, frames);
                }
            }
        }
        std::printf("\nwhole-picture conversion of a busy %dx%d picture, CPU ms median p95\n",
                    area.width, area.height);
        compareConverters(display, area, frames);
        std::printf(
            "\ngrab of one %dx%d picture, pointer drawn in: plain, and composed from the "
            "windows without the curtain\n",
            area.width, area.height);
        std::printf("%7s   %-13s   %-13s   %5s %7s\n", "windows", "plain ms", "composed ms",
                    "drawn", "covered");
        std::printf("%7s   %-13s   %-13s\n", "", "median p95", "median p95");
        for (int windows : {5, 30}) {
            compareGrabs(display, area, trap, windows, frames);
        }
    }
    return 0;
}
