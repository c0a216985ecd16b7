#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace caldrovex::bench {

// One rectangle of one colour.
struct FilledRect {
    std::array<uint8_t, 3> colour{};
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The screen a ChangePainter draws on: the X server's, or a Wayland compositor's through a
// fullscreen window.
class PaintCanvas {
public:
    // CLOCK_MONOTONIC seconds: the drawing was about to be sent, and the display had it (the
    // pixels are where any capture sees them).
    struct Stamps {
        double sentAt = 0;
        double drawnAt = 0;
    };

    virtual ~PaintCanvas() = default;

    virtual int width() const = 0;
    virtual int height() const = 0;
    // Draws `rects` as one change and returns once the display has it. Throws
    // std::runtime_error when it cannot.
    virtual Stamps draw(const std::vector<FilledRect>& rects) = 0;
    // Puts the pointer at (x, y) where the display lets a client do so; false where not.
    virtual bool placePointer(int x, int y) = 0;
    // What the screen shows at (x, y); throws std::runtime_error where it cannot be read.
    virtual std::array<uint8_t, 3> colourAt(int x, int y) = 0;
};

}  // namespace caldrovex::bench
