#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace caldrovex {

// The fields of one "input" control message that the input controller reads. Every field may
// be absent; the controller decides what an absent or out-of-range field means. The session
// fills it from its control message field by field (same names, same types), and the
// clipboard "paste" builds one directly.
struct InputMessage {
    std::optional<std::string> event;  // "move", "button", "scroll", "key" or "text"
    std::optional<double> x;           // fraction of the display width; pixels for "scroll"
    std::optional<double> y;           // fraction of the display height; pixels for "scroll"
    std::optional<int64_t> button;     // 0 left, 1 right
    std::optional<uint16_t> keyCode;   // virtual key code of the device's (Apple) keyboard
    std::optional<bool> keyDown;
    std::optional<uint64_t> modifiers;  // device modifier flags, see InputEvent's flag bits
    std::optional<std::string> text;    // UTF-8
};

}  // namespace caldrovex
