#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace caldrovex {

// One decoded picture as 8-bit RGB, rows tightly packed (3 bytes per pixel). A plain value
// type, for the reference device, tests and benchmarks.
struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;

    std::array<uint8_t, 3> pixel(int x, int y) const {
        const size_t at =
            (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
        return {rgb[at], rgb[at + 1], rgb[at + 2]};
    }
};

}  // namespace caldrovex
