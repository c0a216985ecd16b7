#include "video/MediaTime.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace caldrovex {

namespace {

using Wide = __int128;

// Rounds value × to / from to the nearest integer, halves away from zero.
Wide scaleRounded(Wide value, Wide to, Wide from) {
    Wide product = value * to;
    Wide half = from / 2;
    return product >= 0 ? (product + half) / from : -((-product + half) / from);
}

int64_t clampToInt64(Wide value) {
    if (value > std::numeric_limits<int64_t>::max()) {
        return std::numeric_limits<int64_t>::max();
    }
    if (value < std::numeric_limits<int64_t>::min()) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(value);
}

}  // namespace

MediaTime MediaTime::make(int64_t value, int32_t timescale) {
    MediaTime time;
    time.value = value;
    time.timescale = timescale;
    time.flags = timescale > 0 ? kValid : 0;
    return time;
}

double MediaTime::seconds() const {
    return isValid() ? static_cast<double>(value) / timescale : 0.0;
}

int64_t MediaTime::rescaled(int32_t newTimescale) const {
    if (newTimescale == timescale) {
        return value;
    }
    return clampToInt64(scaleRounded(value, newTimescale, timescale));
}

MediaTime operator+(const MediaTime& a, const MediaTime& b) {
    if (!a.isValid() || !b.isValid()) {
        return MediaTime::invalid();
    }
    int64_t common = std::lcm(static_cast<int64_t>(a.timescale), static_cast<int64_t>(b.timescale));
    int32_t timescale = common <= std::numeric_limits<int32_t>::max()
                            ? static_cast<int32_t>(common)
                            : std::max(a.timescale, b.timescale);
    Wide sum = static_cast<Wide>(a.rescaled(timescale)) + b.rescaled(timescale);
    return MediaTime::make(clampToInt64(sum), timescale);
}

std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
    bool aValid = a.isValid();
    bool bValid = b.isValid();
    if (!aValid || !bValid) {
        if (aValid == bValid) {
            return std::strong_ordering::equal;
        }
        return aValid ? std::strong_ordering::less : std::strong_ordering::greater;
    }
    // Cross-multiplied in 128 bits: exact for every 64-bit value and 32-bit timescale.
    Wide left = static_cast<Wide>(a.value) * b.timescale;
    Wide right = static_cast<Wide>(b.value) * a.timescale;
    return left < right   ? std::strong_ordering::less
           : left > right ? std::strong_ordering::greater
                          : std::strong_ordering::equal;
}

}  // namespace caldrovex
