#include <gtest/gtest.h>

#include <limits>

#include "video/MediaTime.h"

namespace caldrovex {
namespace {

TEST(MediaTimeTest, ValidityFollowsFlagsAndTimescale) {
    EXPECT_FALSE(MediaTime().isValid());
    EXPECT_FALSE(MediaTime::invalid().isValid());
    EXPECT_TRUE(MediaTime::make(0, 1).isValid());
    EXPECT_FALSE(MediaTime::make(5, 0).isValid());
    EXPECT_FALSE(MediaTime::make(5, -30).isValid());
    EXPECT_DOUBLE_EQ(MediaTime::make(3, 2).seconds(), 1.5);
    EXPECT_DOUBLE_EQ(MediaTime::invalid().seconds(), 0.0);
}

TEST(MediaTimeTest, OrderingIsExactAcrossTimescales) {
    struct Case {
        MediaTime a;
        MediaTime b;
        std::strong_ordering expected;
    };
    const int64_t huge = std::numeric_limits<int64_t>::max() / 2;
    const Case cases[] = {
        {MediaTime::make(1, 30), MediaTime::make(1000, 30000), std::strong_ordering::equal},
        {MediaTime::make(1, 3), MediaTime::make(333, 1000), std::strong_ordering::greater},
        {MediaTime::make(-1, 1000), MediaTime::make(0, 1), std::strong_ordering::less},
        // Products beyond 64 bits still compare exactly.
        {MediaTime::make(huge, 1'000'000'000), MediaTime::make(huge, 999'999'999),
         std::strong_ordering::less},
        {MediaTime::make(5, 1), MediaTime::invalid(), std::strong_ordering::less},
        {MediaTime::invalid(), MediaTime::make(5, 1), std::strong_ordering::greater},
        {MediaTime::invalid(), MediaTime::invalid(), std::strong_ordering::equal},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a <=> c.b, c.expected)
            << c.a.value << "/" << c.a.timescale << " vs " << c.b.value << "/" << c.b.timescale;
    }
}

TEST(MediaTimeTest, AdditionKeepsExactValues) {
    MediaTime sum = MediaTime::make(1, 30) + MediaTime::make(1, 1000);
    EXPECT_EQ(sum.timescale, 3000);
    EXPECT_EQ(sum.value, 103);
    EXPECT_EQ(MediaTime::make(1, 1000) + MediaTime::make(2, 1000), MediaTime::make(3, 1000));
    EXPECT_FALSE((MediaTime::invalid() + MediaTime::make(1, 1000)).isValid());
    // Timescales whose common multiple overflows 32 bits: the finer one, rounded.
    MediaTime odd = MediaTime::make(1, 1'000'000'007) + MediaTime::make(1, 1000);
    EXPECT_EQ(odd.timescale, 1'000'000'007);
    EXPECT_EQ(odd.value, 1 + 1'000'000);
}

TEST(MediaTimeTest, RescalingRoundsToNearest) {
    EXPECT_EQ(MediaTime::make(1, 30).rescaled(1'000'000), 33333);
    EXPECT_EQ(MediaTime::make(2, 30).rescaled(1'000'000), 66667);
    EXPECT_EQ(MediaTime::make(-2, 30).rescaled(1'000'000), -66667);
    EXPECT_EQ(MediaTime::make(90000, 90000).rescaled(1000), 1000);
}

}  // namespace
}  // namespace caldrovex
