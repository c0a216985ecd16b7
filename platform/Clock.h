#pragma once

#include <chrono>
#include <memory>

namespace caldrovex::platform {

// The only source of time for the logic. Monotonic seconds drive timers, rate windows and
// the pacer; wall time is used for dates that leave the process (invitation expiry, pairing
// dates). Tests inject a virtual clock (ManualQueue).
class Clock {
public:
    using WallTime = std::chrono::system_clock::time_point;

    virtual ~Clock() = default;

    // Seconds since an arbitrary fixed origin; never goes backwards.
    virtual double monotonic() const = 0;

    // The calendar time now.
    virtual WallTime wall() const = 0;
};

using ClockPtr = std::shared_ptr<Clock>;

// The machine's clocks: steady_clock for monotonic time, system_clock for dates.
class SystemClock final : public Clock {
public:
    double monotonic() const override;
    WallTime wall() const override;

    // One shared instance; the clock has no state.
    static ClockPtr shared();
};

}  // namespace caldrovex::platform
