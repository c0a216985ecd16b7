#pragma once

#include <string>

#include "input/Keysym.h"

namespace caldrovex {

// The keysym that types one Unicode scalar: the Latin-1 keysyms for U+0020-U+007E and
// U+00A0-U+00FF (whose values equal the code points), Return for line breaks, Tab for tabs,
// and the Unicode keysym range (0x01000000 + code point) for the rest. Other control
// characters and non-scalars give kNoSymbol: typing them would press keys the user never meant
// (Escape, Backspace) or nothing at all.
Keysym characterKeysym(char32_t scalar);

// The Unicode scalars of UTF-16 text; a lone surrogate stands for itself (and types nothing).
std::u32string utf16Scalars(const std::u16string& text);

}  // namespace caldrovex
