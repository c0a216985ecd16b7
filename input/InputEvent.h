#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace caldrovex {

// One synthetic input event, independent of the window system that delivers it. The
// controller decides which events to make; an emitter (XTest on X11, a recorder in tests)
// delivers them. The numbering follows the device's (Apple) conventions, which the device's
// messages are written in: mouse event types 1-7, buttons 0 and 1, virtual key codes, and the
// modifier flag bits below.
struct InputEvent {
    enum class Kind { mouse, scroll, key, text };

    enum class MouseType : int {
        leftDown = 1,
        leftUp = 2,
        rightDown = 3,
        rightUp = 4,
        moved = 5,
        leftDragged = 6,
        rightDragged = 7,
    };

    enum class Button : int { left = 0, right = 1 };

    // Modifier flag bits of the device's keyboard; only these four are ever passed on.
    static constexpr uint64_t kShiftFlag = 0x20000;
    static constexpr uint64_t kControlFlag = 0x40000;
    static constexpr uint64_t kOptionFlag = 0x80000;
    static constexpr uint64_t kCommandFlag = 0x100000;
    static constexpr uint64_t kModifierMask =
        kShiftFlag | kControlFlag | kOptionFlag | kCommandFlag;

    Kind kind = Kind::mouse;

    // mouse: type, button, position in global coordinates and click state (1 to 3).
    MouseType mouseType = MouseType::moved;
    Button button = Button::left;
    double x = 0;
    double y = 0;
    int64_t clickState = 0;

    // scroll: pixel amounts; positive vertical scrolls up, positive horizontal scrolls left.
    int32_t wheelVertical = 0;
    int32_t wheelHorizontal = 0;

    // key and text: direction; key: virtual key code (text events carry key code 0).
    uint16_t keyCode = 0;
    bool keyDown = false;

    // text: one chunk of at most 20 UTF-16 code units, never splitting a surrogate pair.
    std::u16string text;

    // Modifier flags set on the event; absent when the event carries none (scroll, text and
    // the releases of releaseAll), which an emitter reads as "leave modifiers as they are".
    std::optional<uint64_t> flags;

    bool operator==(const InputEvent&) const = default;

    static InputEvent mouse(MouseType type, Button button, double x, double y, int64_t clickState,
                            std::optional<uint64_t> flags) {
        InputEvent e;
        e.kind = Kind::mouse;
        e.mouseType = type;
        e.button = button;
        e.x = x;
        e.y = y;
        e.clickState = clickState;
        e.flags = flags;
        return e;
    }

    static InputEvent scroll(int32_t vertical, int32_t horizontal) {
        InputEvent e;
        e.kind = Kind::scroll;
        e.wheelVertical = vertical;
        e.wheelHorizontal = horizontal;
        return e;
    }

    static InputEvent key(uint16_t keyCode, bool down, std::optional<uint64_t> flags) {
        InputEvent e;
        e.kind = Kind::key;
        e.keyCode = keyCode;
        e.keyDown = down;
        e.flags = flags;
        return e;
    }

    static InputEvent typed(std::u16string chunk, bool down) {
        InputEvent e;
        e.kind = Kind::text;
        e.keyDown = down;
        e.text = std::move(chunk);
        return e;
    }
};

// Readable test failures.
std::ostream& operator<<(std::ostream& out, const InputEvent& event);

}  // namespace caldrovex
