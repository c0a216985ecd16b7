#pragma once

#include <X11/X.h>

namespace caldrovex::platform {

// The keysym that types one Unicode scalar: the Latin-1 keysyms for U+0020-U+007E and
// U+00A0-U+00FF (whose values equal the code points), Return for line breaks, Tab for tabs,
// and the Unicode keysym range (0x01000000 + code point) for the rest. Other control
// characters and non-scalars give NoSymbol: typing them would press keys the user never meant
// (Escape, Backspace) or nothing at all.
KeySym characterKeysym(char32_t scalar);

}  // namespace caldrovex::platform
