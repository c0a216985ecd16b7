#include "input/InputEvent.h"

namespace caldrovex {

namespace {

const char* kindName(InputEvent::Kind kind) {
    switch (kind) {
        case InputEvent::Kind::mouse:
            return "mouse";
        case InputEvent::Kind::scroll:
            return "scroll";
        case InputEvent::Kind::key:
            return "key";
        case InputEvent::Kind::text:
            return "text";
    }
    return "?";
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const InputEvent& event) {
    out << "{" << kindName(event.kind);
    switch (event.kind) {
        case InputEvent::Kind::mouse:
            out << " type " << static_cast<int>(event.mouseType) << " button "
                << static_cast<int>(event.button) << " at (" << event.x << ", " << event.y
                << ") clicks " << event.clickState;
            break;
        case InputEvent::Kind::scroll:
            out << " vertical " << event.wheelVertical << " horizontal " << event.wheelHorizontal;
            break;
        case InputEvent::Kind::key:
            out << " code " << event.keyCode << (event.keyDown ? " down" : " up");
            break;
        case InputEvent::Kind::text:
            out << (event.keyDown ? " down" : " up") << " " << event.text.size() << " units";
            break;
    }
    if (event.flags) {
        out << " flags 0x" << std::hex << *event.flags << std::dec;
    }
    return out << "}";
}

}  // namespace caldrovex
