#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "adapters/x11/X11Handles.h"
#include "latency_bench/Scenario.h"

struct _XGC;

namespace caldrovex::bench {

// One change drawn on the screen: the colour the probe area took, and when the X server had
// drawn it (CLOCK_MONOTONIC seconds, stamped right after XSync returned). The drawing itself
// happened between `sentAt` (the request about to be flushed) and `drawnAt`; on a loaded
// machine the bench's thread may wake from XSync a few milliseconds after the server drew.
struct DrawnChange {
    double sentAt = 0;
    double drawnAt = 0;
    std::array<uint8_t, 3> colour{};
};

// Draws the changes whose way to the receiver the bench times, as a scenario says: a square
// filled with a new colour at each change (and, when typing, a mark along a line of text),
// at intervals drawn at random from the scenario's range. Colours stay inside video range and
// differ strongly from the previous one, so a decoded probe is told apart at a glance. On a
// connection of its own; one thread.
class ChangePainter {
public:
    // Throws std::runtime_error when the display cannot be opened.
    ChangePainter(const std::string& displayName, uint32_t seed);
    ~ChangePainter();
    ChangePainter(const ChangePainter&) = delete;
    ChangePainter& operator=(const ChangePainter&) = delete;

    // Paints the whole screen a plain grey (the starting state of every run) and puts the
    // pointer where `scenario` wants it; later changes follow `scenario`.
    void clear(const Scenario& scenario);
    // Fills the probe square with a fresh colour and returns what was drawn when.
    DrawnChange change();
    // `count` changes at the scenario's intervals, the first one interval from now; blocking.
    std::vector<DrawnChange> changes(int count);

    // Whether the last `changes` painted at a real-time priority.
    bool realtime() const { return realtime_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    std::array<uint8_t, 3> nextColour();
    void fill(std::array<uint8_t, 3> colour, int x, int y, int w, int h);

    platform::DisplayHandle display_;
    _XGC* gc_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    Scenario scenario_;
    int caret_ = 0;
    std::mt19937 random_;
    std::array<uint8_t, 3> last_{128, 128, 128};
    bool realtime_ = false;
};

// The largest difference of one channel.
int colourDistance(std::array<uint8_t, 3> a, std::array<uint8_t, 3> b);

}  // namespace caldrovex::bench
