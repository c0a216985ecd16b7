#include "video/StreamSize.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace caldrovex {

namespace {

constexpr int64_t kSmallestSide = 2;

int side(double scale, int64_t pixels) {
    double scaled = std::trunc(scale * static_cast<double>(std::max<int64_t>(pixels, 0)));
    // A picture no display has: keep the arithmetic below well inside int.
    scaled = std::clamp(scaled, 0.0, static_cast<double>(std::numeric_limits<int>::max() - 1));
    auto even = static_cast<int64_t>(scaled) & ~int64_t{1};
    return static_cast<int>(std::max(even, kSmallestSide));
}

}  // namespace

StreamSize StreamSize::fitting(int64_t pixelWidth, int64_t pixelHeight, int64_t maxWidth) {
    // A display without width has nothing to scale against: keep its size.
    double scale =
        pixelWidth > 0
            ? std::min(static_cast<double>(maxWidth) / static_cast<double>(pixelWidth), 1.0)
            : 1.0;
    return StreamSize{side(scale, pixelWidth), side(scale, pixelHeight)};
}

}  // namespace caldrovex
