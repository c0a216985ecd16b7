#include "latency_bench/ChangePainter.h"

#include <X11/Xlib.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "latency_bench/MonotonicTime.h"

namespace caldrovex::bench {

namespace {

// Channels inside 16..235 survive the trip through video-range YUV unclipped; a margin keeps
// the chroma subsampling at the square's edge away from the centre.
constexpr int kChannelLow = 32;
constexpr int kChannelHigh = 223;
// A new colour differs from the previous one by at least this much in some channel: far
// more than the coding error of a flat area, so "changed" is never ambiguous.
constexpr int kMinimumStep = 96;
// Low among real-time priorities: above every ordinary thread, below the kernel's own.
constexpr int kPainterPriority = 10;

}  // namespace

int colourDistance(std::array<uint8_t, 3> a, std::array<uint8_t, 3> b) {
    int most = 0;
    for (size_t i = 0; i < 3; ++i) most = std::max(most, std::abs(int(a[i]) - int(b[i])));
    return most;
}

ChangePainter::ChangePainter(const std::string& displayName, double probeX, double probeY, int side,
                             uint32_t seed)
    : side_(side), random_(seed) {
    display_ = platform::openDisplay(displayName);
    if (display_ == nullptr) throw std::runtime_error("cannot open display " + displayName);
    const int screen = DefaultScreen(display_.get());
    width_ = DisplayWidth(display_.get(), screen);
    height_ = DisplayHeight(display_.get(), screen);
    probeX_ = std::clamp(static_cast<int>(probeX * width_), 0, width_ - 1);
    probeY_ = std::clamp(static_cast<int>(probeY * height_), 0, height_ - 1);
    gc_ = XCreateGC(display_.get(), DefaultRootWindow(display_.get()), 0, nullptr);
    // The pointer starts in the middle of the screen; the host draws it into the picture, so
    // it goes to a corner, away from any probe.
    XWarpPointer(display_.get(), None, DefaultRootWindow(display_.get()), 0, 0, 0, 0, width_ - 1,
                 height_ - 1);
    XSync(display_.get(), False);
}

ChangePainter::~ChangePainter() {
    XFreeGC(display_.get(), gc_);
}

void ChangePainter::fill(std::array<uint8_t, 3> colour, int x, int y, int w, int h) {
    // A 24-bit TrueColor visual: the pixel value is the colour itself.
    const unsigned long pixel =
        (unsigned long)colour[0] << 16 | (unsigned long)colour[1] << 8 | colour[2];
    XSetForeground(display_.get(), gc_, pixel);
    XFillRectangle(display_.get(), DefaultRootWindow(display_.get()), gc_, x, y,
                   static_cast<unsigned>(w), static_cast<unsigned>(h));
}

void ChangePainter::clear() {
    last_ = {128, 128, 128};
    fill(last_, 0, 0, width_, height_);
    XSync(display_.get(), False);
}

std::array<uint8_t, 3> ChangePainter::nextColour() {
    std::uniform_int_distribution<int> channel(kChannelLow, kChannelHigh);
    for (;;) {
        std::array<uint8_t, 3> colour{static_cast<uint8_t>(channel(random_)),
                                      static_cast<uint8_t>(channel(random_)),
                                      static_cast<uint8_t>(channel(random_))};
        if (colourDistance(colour, last_) >= kMinimumStep) return colour;
    }
}

DrawnChange ChangePainter::change() {
    const std::array<uint8_t, 3> colour = nextColour();
    const double sentAt = monotonicNow();
    fill(colour, probeX_ - side_ / 2, probeY_ - side_ / 2, side_, side_);
    // XSync returns once the server has handled the fill, i.e. the pixels are in its frame
    // buffer: from here on any grab sees them.
    XSync(display_.get(), False);
    const double drawnAt = monotonicNow();
    last_ = colour;
    return {sentAt, drawnAt, colour};
}

std::vector<DrawnChange> ChangePainter::changes(int count, double minGap, double maxGap) {
    // The stamp after XSync is only as good as this thread's wake-up: on two busy cores the
    // capture may have grabbed the change before the painter runs again. A real-time
    // priority while painting (when allowed) lets it run first; the thread sleeps otherwise.
    int oldPolicy = 0;
    sched_param oldParam{};
    pthread_getschedparam(pthread_self(), &oldPolicy, &oldParam);
    sched_param painting{};
    painting.sched_priority = kPainterPriority;
    realtime_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &painting) == 0;
    std::uniform_real_distribution<double> gap(minGap, maxGap);
    std::vector<DrawnChange> drawn;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::duration<double>(gap(random_)));
        drawn.push_back(change());
    }
    pthread_setschedparam(pthread_self(), oldPolicy, &oldParam);
    return drawn;
}

}  // namespace caldrovex::bench
