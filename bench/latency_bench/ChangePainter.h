#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "latency_bench/PaintCanvas.h"
#include "latency_bench/Scenario.h"

namespace caldrovex::bench {

// One change drawn on the screen: the colour the probe area took, and when the display had
// drawn it (CLOCK_MONOTONIC seconds, stamped right after XSync, or the Wayland round trip,
// returned). The drawing itself happened between `sentAt` (the request about to be flushed)
// and `drawnAt`; on a loaded machine the drawing thread may wake a few milliseconds after the
// display drew.
struct DrawnChange {
    double sentAt = 0;
    double drawnAt = 0;
    std::array<uint8_t, 3> colour{};
};

// Draws the changes whose way to the receiver the bench times, as a scenario says: a square
// filled with a new colour at each change (and, when typing, a mark along a line of text),
// at intervals drawn at random from the scenario's range. Colours stay inside video range and
// differ strongly from the previous one, so a decoded probe is told apart at a glance. On a
// canvas of its own; one thread.
class ChangePainter {
public:
    ChangePainter(std::unique_ptr<PaintCanvas> canvas, uint32_t seed);

    // Paints the whole screen a plain grey (the starting state of every run) and puts the
    // pointer where `scenario` wants it (where the display lets it be moved); later changes
    // follow `scenario`.
    void clear(const Scenario& scenario);
    // Fills the probe square with a fresh colour and returns what was drawn when.
    DrawnChange change();
    // `count` changes at the scenario's intervals, the first one interval from now; blocking.
    std::vector<DrawnChange> changes(int count);

    // What the local screen shows at the scenario's probe (the curtain, when it is up).
    std::array<uint8_t, 3> screenColour();

    // Whether the last `changes` painted at a real-time priority.
    bool realtime() const { return realtime_; }
    int width() const { return canvas_->width(); }
    int height() const { return canvas_->height(); }

private:
    std::array<uint8_t, 3> nextColour();

    std::unique_ptr<PaintCanvas> canvas_;
    Scenario scenario_;
    int caret_ = 0;
    std::mt19937 random_;
    std::array<uint8_t, 3> last_{128, 128, 128};
    bool realtime_ = false;
};

// The largest difference of one channel.
int colourDistance(std::array<uint8_t, 3> a, std::array<uint8_t, 3> b);

}  // namespace caldrovex::bench
