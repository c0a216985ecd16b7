#include "protocol/ReferenceDate.h"

#include <cmath>

namespace caldrovex {

namespace {

// 2001-01-01 00:00:00 UTC in seconds since the Unix epoch.
constexpr int64_t kReferenceUnixSeconds = 978'307'200;

// A system_clock time point holds about ±292 years of nanoseconds around 1970; counts are
// kept well inside that (±250 years around 2001) so the conversion can never overflow.
constexpr double kLimitSeconds = 250.0 * 365.25 * 86'400;

}  // namespace

ReferenceDate::Date ReferenceDate::origin() {
    return Date(std::chrono::seconds(kReferenceUnixSeconds));
}

double ReferenceDate::toSeconds(Date date) {
    return std::chrono::duration<double>(date - origin()).count();
}

std::optional<ReferenceDate::Date> ReferenceDate::fromSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kLimitSeconds) return std::nullopt;
    auto offset = std::chrono::round<Date::duration>(std::chrono::duration<double>(seconds));
    return origin() + offset;
}

}  // namespace caldrovex
