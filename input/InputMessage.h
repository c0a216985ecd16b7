#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/ControlMessage.h"

namespace caldrovex {

// The fields of one "input" control message that the input controller reads. Every field may
// be absent; the controller decides what an absent or out-of-range field means. The session
// makes one from its control message with `from`; the clipboard "paste" may build one
// directly.
struct InputMessage {
    std::optional<std::string> event;  // "move", "button", "scroll", "key" or "text"
    std::optional<double> x;           // fraction of the display width; pixels for "scroll"
    std::optional<double> y;           // fraction of the display height; pixels for "scroll"
    std::optional<int64_t> button;     // 0 left, 1 right
    std::optional<uint16_t> keyCode;   // virtual key code of the device's (Apple) keyboard
    std::optional<bool> keyDown;
    std::optional<uint64_t> modifiers;  // device modifier flags, see InputEvent's flag bits
    std::optional<std::string> text;    // UTF-8

    // The same fields of a control message, copied as they are.
    static InputMessage from(const ControlMessage& message) {
        return InputMessage{message.event,   message.x,       message.y,         message.button,
                            message.keyCode, message.keyDown, message.modifiers, message.text};
    }
};

}  // namespace caldrovex
