#pragma once

#include <cstdint>

namespace caldrovex {

// A keysym: the symbol a key types, in the numbering X11 defined and XKB keeps, so the X
// server and a Wayland compositor both take it (<X11/keysymdef.h> names the values). Emitters
// find the key that types it in the desktop's own keymap.
using Keysym = uint32_t;

// No symbol: the key or character has no meaning here.
constexpr Keysym kNoSymbol = 0;

}  // namespace caldrovex
