#include "input/CharacterKeysym.h"

#include <X11/keysym.h>

namespace caldrovex {

Keysym characterKeysym(char32_t scalar) {
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
        return kNoSymbol;
    }
    return 0x01000000 + scalar;
}

std::u32string utf16Scalars(const std::u16string& text) {
    std::u32string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            out.push_back(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            out.push_back(unit);
        }
    }
    return out;
}

}  // namespace caldrovex
