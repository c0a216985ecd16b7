#pragma once

#include <cstdint>

namespace caldrovex {

// The picture size a display is streamed at. A plain value type.
struct StreamSize {
    int width = 0;
    int height = 0;

    bool operator==(const StreamSize&) const = default;

    // Fits a display of `pixelWidth` × `pixelHeight` into `maxWidth`: scaled down to keep its
    // aspect ratio, never enlarged, each side truncated, rounded down to even (the encoder's
    // 4:2:0 chroma needs even sides) and at least 2.
    static StreamSize fitting(int64_t pixelWidth, int64_t pixelHeight, int64_t maxWidth);
};

}  // namespace caldrovex
