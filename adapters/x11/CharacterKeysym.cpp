#include "adapters/x11/CharacterKeysym.h"

#include <X11/keysym.h>

namespace caldrovex::platform {

KeySym characterKeysym(char32_t scalar) {
    if (scalar == U'\n' || scalar == U'\r') {
        return XK_Return;
    }
    if (scalar == U'\t') {
        return XK_Tab;
    }
    if ((scalar >= 0x20 && scalar <= 0x7E) || (scalar >= 0xA0 && scalar <= 0xFF)) {
        return scalar;
    }
    if (scalar < 0xA0 || (scalar >= 0xD800 && scalar <= 0xDFFF) || scalar > 0x10FFFF) {
        return NoSymbol;
    }
    return 0x01000000 + scalar;
}

}  // namespace caldrovex::platform
