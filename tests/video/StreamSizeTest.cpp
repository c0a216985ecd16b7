#include <gtest/gtest.h>

#include "video/StreamSize.h"

namespace caldrovex {
namespace {

TEST(StreamSize, FitsTheWidthKeepsTheAspectNeverEnlargesAndStaysEven) {
    struct Case {
        const char* note;
        int64_t width, height, maxWidth;
        StreamSize expected;
    };
    const Case cases[] = {
        {"wide display scaled to the limit", 2880, 1800, 1920, {1920, 1200}},
        {"limit above the display: own size", 2880, 1800, 4000, {2880, 1800}},
        {"limit equal to the display", 1920, 1080, 1920, {1920, 1080}},
        {"odd sides rounded down to even", 1921, 1081, 4000, {1920, 1080}},
        {"scaled height truncated then made even", 1366, 768, 1000, {1000, 562}},
        {"scaled width odd after truncation", 1600, 1200, 1001, {1000, 750}},
        {"tiny display: at least 2", 1, 1, 1920, {2, 2}},
        {"no limit left: at least 2", 1920, 1080, 0, {2, 2}},
        {"negative limit: at least 2", 1920, 1080, -5, {2, 2}},
        {"display without size", 0, 0, 1920, {2, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(StreamSize::fitting(c.width, c.height, c.maxWidth), c.expected);
    }
}

}  // namespace
}  // namespace caldrovex
