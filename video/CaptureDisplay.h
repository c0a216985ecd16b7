#pragma once

#include <cstdint>
#include <string>

namespace caldrovex {

// One display as the capture service reports it: its identifier, its name (empty when the
// service has none), and where it lies on the desktop, in pixels. A plain value type.
struct CaptureDisplay {
    uint32_t id = 0;
    std::string name;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const CaptureDisplay&) const = default;
};

}  // namespace caldrovex
