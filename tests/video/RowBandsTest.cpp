// Sets of picture rows: merging, subtracting, and mapping changed rows through a scale.

#include <gtest/gtest.h>

#include <vector>

#include "video/RowBands.h"

namespace caldrovex {
namespace {

using Bands = std::vector<RowBands::Band>;

RowBands of(const Bands& bands) {
    RowBands set;
    for (const auto& band : bands) set.add(band.begin, band.end);
    return set;
}

TEST(RowBands, AddingMergesOverlappingAndTouchingBands) {
    struct Case {
        const char* note;
        Bands added;
        Bands expected;
    };
    const Case cases[] = {
        {"kept apart", {{10, 20}, {30, 40}}, {{10, 20}, {30, 40}}},
        {"sorted", {{30, 40}, {10, 20}}, {{10, 20}, {30, 40}}},
        {"touching", {{10, 20}, {20, 30}}, {{10, 30}}},
        {"overlapping", {{10, 25}, {20, 30}}, {{10, 30}}},
        {"bridging two", {{10, 20}, {30, 40}, {15, 35}}, {{10, 40}}},
        {"inside", {{10, 40}, {20, 30}}, {{10, 40}}},
        {"empty and reversed add nothing", {{5, 5}, {9, 3}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(of(c.added).bands(), c.expected);
    }
    EXPECT_EQ(of({{10, 20}, {30, 40}}).rows(), 20);
}

TEST(RowBands, MinusLeavesTheRowsTheOtherSetLacks) {
    struct Case {
        const char* note;
        Bands from;
        Bands removed;
        Bands expected;
    };
    const Case cases[] = {
        {"nothing removed", {{0, 100}}, {}, {{0, 100}}},
        {"a hole", {{0, 100}}, {{40, 60}}, {{0, 40}, {60, 100}}},
        {"both ends", {{10, 90}}, {{0, 20}, {80, 100}}, {{20, 80}}},
        {"one removal spans two bands", {{0, 10}, {20, 30}}, {{5, 25}}, {{0, 5}, {25, 30}}},
        {"all removed", {{10, 20}, {30, 40}}, {{0, 100}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(of(c.from).minus(of(c.removed)).bands(), c.expected);
    }
}

TEST(RowBands, ScaledCoversWhereChangedRowsLandWidenedAndAligned) {
    struct Case {
        const char* note;
        Bands rows;
        int height, toHeight, margin, alignment;
        Bands expected;
    };
    const Case cases[] = {
        {"same size, aligned outwards", {{101, 103}}, 1080, 1080, 0, 2, {{100, 104}}},
        {"same size with a margin", {{100, 110}}, 1080, 1080, 4, 2, {{96, 114}}},
        {"two thirds", {{300, 303}}, 1080, 720, 0, 1, {{200, 202}}},
        {"a single row still maps to one", {{301, 302}}, 1080, 720, 0, 1, {{200, 202}}},
        {"half, clamped at the top", {{0, 10}}, 1440, 720, 3, 2, {{0, 8}}},
        {"clamped at the bottom, even when not aligned",
         {{1075, 1080}},
         1080,
         719,
         2,
         4,
         {{712, 719}}},
        {"bands that meet after widening merge",
         {{100, 110}, {114, 120}},
         1080,
         1080,
         2,
         2,
         {{98, 122}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(of(c.rows).scaled(c.height, c.toHeight, c.margin, c.alignment).bands(),
                  c.expected);
    }
}

}  // namespace
}  // namespace caldrovex
