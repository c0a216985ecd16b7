#pragma once

#include <cstdint>
#include <cstdlib>

namespace caldrovex::platform {

// Turns pixel scroll amounts into whole wheel clicks on one axis. What does not make a whole
// click is carried into the next amount, so a slow scroll of a few pixels at a time still
// moves the view once enough has gathered; a change of direction eats into the carry first.
class WheelAccumulator {
public:
    // One wheel click scrolls about three lines of text in common toolkits, some 50 pixels.
    static constexpr int32_t kPixelsPerClick = 50;

    // Adds `pixels` and returns the whole clicks now due: positive in the direction of
    // positive amounts.
    int32_t add(int32_t pixels) {
        carry_ += pixels;
        const int64_t clicks = carry_ / kPixelsPerClick;  // truncates toward zero
        carry_ -= clicks * kPixelsPerClick;
        return static_cast<int32_t>(clicks);
    }

    int64_t carry() const { return carry_; }

private:
    int64_t carry_ = 0;
};

}  // namespace caldrovex::platform
