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
// The typed line: characters per line, lines before starting over, left margin in pixels.
constexpr int kLineLength = 150;
constexpr int kLines = 20;
constexpr int kMargin = 100;

}  // namespace

int colourDistance(std::array<uint8_t, 3> a, std::array<uint8_t, 3> b) {
    int most = 0;
    for (size_t i = 0; i < 3; ++i) most = std::max(most, std::abs(int(a[i]) - int(b[i])));
    return most;
}

ChangePainter::ChangePainter(const std::string& displayName, uint32_t seed) : random_(seed) {
    display_ = platform::openDisplay(displayName);
    if (display_ == nullptr) throw std::runtime_error("cannot open display " + displayName);
    const int screen = DefaultScreen(display_.get());
    width_ = DisplayWidth(display_.get(), screen);
    height_ = DisplayHeight(display_.get(), screen);
    gc_ = XCreateGC(display_.get(), DefaultRootWindow(display_.get()), 0, nullptr);
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

void ChangePainter::clear(const Scenario& scenario) {
    scenario_ = scenario;
    caret_ = 0;
    last_ = {128, 128, 128};
    fill(last_, 0, 0, width_, height_);
    // The host and ffmpeg both draw the pointer into their pictures.
    const int x = scenario.pointerInMiddle ? width_ / 2 : width_ - 1;
    const int y = scenario.pointerInMiddle ? height_ / 2 : height_ - 1;
    XWarpPointer(display_.get(), None, DefaultRootWindow(display_.get()), 0, 0, 0, 0, x, y);
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
    const int side = scenario_.side;
    const int x = static_cast<int>(scenario_.centreX * width_) - side / 2;
    const int y = static_cast<int>(scenario_.centreY * height_) - side / 2;
    const double sentAt = monotonicNow();
    fill(colour, x, y, side, side);
    if (scenario_.typing) {
        // The next character of a line of text in the lower half, 11 pixels a character.
        const int column = caret_ % kLineLength;
        const int line = (caret_ / kLineLength) % kLines;
        fill({24, 24, 24}, kMargin + column * 11, height_ / 2 + line * 22, 8, 14);
        ++caret_;
    }
    // XSync returns once the server has handled the fill, i.e. the pixels are in its frame
    // buffer: from here on any grab sees them.
    XSync(display_.get(), False);
    const double drawnAt = monotonicNow();
    last_ = colour;
    return {sentAt, drawnAt, colour};
}

std::vector<DrawnChange> ChangePainter::changes(int count) {
    // The stamp after XSync is only as good as this thread's wake-up: on two busy cores the
    // capture may have grabbed the change before the painter runs again. A real-time
    // priority while painting (when allowed) lets it run first; the thread sleeps otherwise.
    int oldPolicy = 0;
    sched_param oldParam{};
    pthread_getschedparam(pthread_self(), &oldPolicy, &oldParam);
    sched_param painting{};
    painting.sched_priority = kPainterPriority;
    realtime_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &painting) == 0;
    std::uniform_real_distribution<double> gap(scenario_.minGap, scenario_.maxGap);
    std::vector<DrawnChange> drawn;
    // Changes keep their period: each is due one interval after the previous one was due,
    // whatever the drawing itself took.
    double due = monotonicNow();
    for (int i = 0; i < count; ++i) {
        due += gap(random_);
        std::this_thread::sleep_for(std::chrono::duration<double>(due - monotonicNow()));
        drawn.push_back(change());
    }
    pthread_setschedparam(pthread_self(), oldPolicy, &oldParam);
    return drawn;
}

}  // namespace caldrovex::bench
