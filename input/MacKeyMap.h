#pragma once

#include <cstdint>
#include <vector>

#include "input/Keysym.h"

namespace caldrovex {

// The keysym that a device (Apple) virtual key code stands for, or kNoSymbol for codes with
// no meaning here. See the top of MacKeyMap.cpp for the decisions behind the table.
Keysym macKeyToKeysym(uint16_t code);

// True for the codes of modifier keys (Command, Shift, Caps Lock, Option, Control, fn):
// pressing one of them is itself a modifier change, never a key to wrap in modifiers.
bool isMacModifierKey(uint16_t code);

// The modifier keysyms to hold down for a device event's modifier flags, each at most once,
// in a fixed order (Shift, Control, Alt).
std::vector<Keysym> modifierKeysyms(uint64_t flags);

}  // namespace caldrovex
