#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "trust/TrustedDevice.h"

using namespace caldrovex;
using namespace std::chrono;

namespace {

platform::Clock::WallTime unixTime(seconds whole, nanoseconds fraction = nanoseconds(0)) {
    return platform::Clock::WallTime(whole + fraction);
}

TEST(TrustedDeviceDate, CountsSecondsFromTheStartOf2001) {
    struct Case {
        platform::Clock::WallTime date;
        double sinceReference;
        const char* why;
    };
    const Case cases[] = {
        {unixTime(seconds(978307200)), 0.0, "2001-01-01T00:00:00Z itself"},
        {unixTime(seconds(1767225600)), 788918400.0, "2026-01-01T00:00:00Z"},
        {unixTime(seconds(1767225600), milliseconds(250)), 788918400.25, "with a fraction"},
        {unixTime(seconds(978307199), milliseconds(500)), -0.5, "just before 2001"},
        {unixTime(seconds(0)), -978307200.0, "the Unix epoch"},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(TrustedDevice::secondsSinceReferenceDate(c.date), c.sinceReference)
            << c.why;
        EXPECT_EQ(TrustedDevice::fromSecondsSinceReferenceDate(c.sinceReference), c.date) << c.why;
    }
}

TEST(TrustedDeviceDate, NanosecondDatesSurviveToWithinAMicrosecond) {
    const auto date = unixTime(seconds(1767225600), nanoseconds(123456789));
    const auto back = TrustedDevice::fromSecondsSinceReferenceDate(
        TrustedDevice::secondsSinceReferenceDate(date));
    EXPECT_LT(abs(back - date), microseconds(1));
}

TEST(TrustedDeviceDate, RefusesNumbersNoClockCanHold) {
    for (double value : {1e300, -1e300, 1e10, std::numeric_limits<double>::infinity(),
                         std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(TrustedDevice::fromSecondsSinceReferenceDate(value), std::out_of_range)
            << value;
    }
}

TEST(TrustedDeviceJson, WritesExactlyTheFourKeysAndReadsThemBack) {
    const TrustedDevice device{"id-1", "Phone", std::string(64, 'a'),
                               unixTime(seconds(1767225600), milliseconds(500))};
    const nlohmann::json json = device;
    EXPECT_EQ(json, (nlohmann::json{{"id", "id-1"},
                                    {"name", "Phone"},
                                    {"tokenHash", std::string(64, 'a')},
                                    {"pairedAt", 788918400.5}}));
    EXPECT_EQ(json.get<TrustedDevice>(), device);
}

}  // namespace
