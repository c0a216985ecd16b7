#pragma once

namespace caldrovex {

// A display's rectangle in global desktop coordinates: origin at its top-left corner.
struct DisplayRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const DisplayRect&) const = default;
};

}  // namespace caldrovex
