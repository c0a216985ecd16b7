#include "latency_bench/ChangePainter.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
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

ChangePainter::ChangePainter(std::unique_ptr<PaintCanvas> canvas, uint32_t seed)
    : canvas_(std::move(canvas)), random_(seed) {}

void ChangePainter::clear(const Scenario& scenario) {
    scenario_ = scenario;
    caret_ = 0;
    last_ = {128, 128, 128};
    canvas_->draw({{last_, 0, 0, width(), height()}});
    // The host and ffmpeg both draw the pointer into their pictures.
    canvas_->placePointer(scenario.pointerInMiddle ? width() / 2 : width() - 1,
                          scenario.pointerInMiddle ? height() / 2 : height() - 1);
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
    std::vector<FilledRect> rects{{colour, static_cast<int>(scenario_.centreX * width()) - side / 2,
                                   static_cast<int>(scenario_.centreY * height()) - side / 2, side,
                                   side}};
    if (scenario_.typing) {
        // The next character of a line of text in the lower half, 11 pixels a character.
        const int column = caret_ % kLineLength;
        const int line = (caret_ / kLineLength) % kLines;
        rects.push_back({{24, 24, 24}, kMargin + column * 11, height() / 2 + line * 22, 8, 14});
        ++caret_;
    }
    const PaintCanvas::Stamps stamps = canvas_->draw(rects);
    last_ = colour;
    return {stamps.sentAt, stamps.drawnAt, colour};
}

std::array<uint8_t, 3> ChangePainter::screenColour() {
    return canvas_->colourAt(
        std::clamp(static_cast<int>(scenario_.probeX * width()), 0, width() - 1),
        std::clamp(static_cast<int>(scenario_.probeY * height()), 0, height() - 1));
}

std::vector<DrawnChange> ChangePainter::changes(int count) {
    // The stamp after XSync is only as good as this thread's wake-up: on two busy cores the
    // capture may have grabbed the change before the painter runs again. A real-time priority
    // while painting (when allowed) lets it run first; the thread sleeps otherwise. (A Wayland
    // window paints and stamps in a process of its own, at the ordinary priority.)
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
