#pragma once

#include <X11/X.h>

#include <cstdint>
#include <vector>

namespace caldrovex::platform {

// The X keysym that a device (Apple) virtual key code stands for, or NoSymbol for codes with
// no meaning here. See the top of MacKeyMap.cpp for the decisions behind the table.
KeySym macKeyToKeysym(uint16_t code);

// True for the codes of modifier keys (Command, Shift, Caps Lock, Option, Control, fn):
// pressing one of them is itself a modifier change, never a key to wrap in modifiers.
bool isMacModifierKey(uint16_t code);

// The modifier keysyms to hold down for a device event's modifier flags, each at most once,
// in a fixed order (Shift, Control, Alt).
std::vector<KeySym> modifierKeysyms(uint64_t flags);

}  // namespace caldrovex::platform
