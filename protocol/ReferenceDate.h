#pragma once

#include <chrono>
#include <optional>

namespace caldrovex {

// Dates on the wire are seconds, possibly fractional, since 2001-01-01 00:00:00 UTC (the
// reference date). This converts between that count and system_clock time points.
class ReferenceDate {
public:
    using Date = std::chrono::system_clock::time_point;

    // 2001-01-01 00:00:00 UTC.
    static Date origin();
    static double toSeconds(Date date);
    // nullopt when the count is not finite or lies outside what a time point can hold.
    static std::optional<Date> fromSeconds(double seconds);
};

}  // namespace caldrovex
