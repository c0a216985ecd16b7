#pragma once

#include <string>
#include <string_view>

namespace caldrovex {

// UUIDs in their 36-character text form (8-4-4-4-12 hexadecimal digits).
class Uuid {
public:
    Uuid() = delete;

    // A random (version 4) UUID in upper case. Throws std::system_error when the system's
    // random source is unavailable.
    static std::string makeUpper();

    // True for exactly 36 characters with hyphens at positions 8, 13, 18 and 23 and hex digits
    // of either case elsewhere. Nothing is trimmed: a trailing line end makes it invalid.
    static bool isValid(std::string_view text);
};

}  // namespace caldrovex
