// The wheel remainder of the X11 input path.
#include <gtest/gtest.h>

#include "adapters/x11/WheelAccumulator.h"

namespace caldrovex::platform {
namespace {

TEST(WheelAccumulator, CarriesTheRemainderSoSlowScrollsStillMove) {
    struct Step {
        int32_t pixels;
        int32_t clicks;
        int64_t carry;
    };
    const Step steps[] = {
        {120, 2, 20},  {10, 0, 30},    {10, 0, 40}, {10, 1, 0},     // slow scroll gets there
        {-30, 0, -30}, {-30, -1, -10}, {15, 0, 5},  {2000, 40, 5},  // and back, and a big one
    };
    WheelAccumulator wheel;
    for (const Step& s : steps) {
        EXPECT_EQ(wheel.add(s.pixels), s.clicks);
        EXPECT_EQ(wheel.carry(), s.carry);
    }
}

}  // namespace
}  // namespace caldrovex::platform
