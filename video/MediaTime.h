#pragma once

#include <compare>
#include <cstdint>

namespace caldrovex {

// A presentation time as a rational number of seconds: `value` / `timescale`. Capture stamps
// every frame with one; the encoder keeps the times it submits strictly increasing.
//
// A time is valid only when its flags carry `kValid` and its timescale is positive; the
// default-constructed time is invalid. Plain value type, safe to copy between threads.
struct MediaTime {
    static constexpr uint32_t kValid = 1u << 0;

    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;

    // A valid time of `value` / `timescale` seconds (invalid when `timescale` is not positive).
    static MediaTime make(int64_t value, int32_t timescale);
    static MediaTime invalid() { return MediaTime{}; }

    bool isValid() const { return (flags & kValid) != 0 && timescale > 0; }

    // The time in seconds; 0 for an invalid time.
    double seconds() const;

    // The time expressed in `newTimescale` units, rounded to the nearest unit (halves away
    // from zero). Precondition: valid, `newTimescale` > 0.
    int64_t rescaled(int32_t newTimescale) const;

    // Exact sum of two valid times, in a timescale that holds both exactly when one fits in
    // 32 bits, else in the finer of the two (rounded). Invalid when either is invalid.
    friend MediaTime operator+(const MediaTime& a, const MediaTime& b);

    // Exact ordering of valid times regardless of timescale. Invalid times sort after every
    // valid time and equal to each other, so "later than" is never true of a valid time
    // compared with an invalid one.
    friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b);
    friend bool operator==(const MediaTime& a, const MediaTime& b) {
        return (a <=> b) == std::strong_ordering::equal;
    }
};

}  // namespace caldrovex
