// The window-system-free key tables: device key codes and characters to keysyms.
#include <gtest/gtest.h>

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <map>
#include <set>

#include "input/CharacterKeysym.h"
#include "input/MacKeyMap.h"

namespace caldrovex {
namespace {

TEST(MacKeyMap, MapsTheKeysOfEachGroup) {
    struct Case {
        uint16_t code;
        Keysym keysym;
        const char* note;
    };
    const Case cases[] = {
        {0x00, XK_a, "A"},
        {0x09, XK_v, "V, the paste key"},
        {0x08, XK_c, "C"},
        {0x06, XK_z, "Z"},
        {0x1D, XK_0, "0"},
        {0x16, XK_6, "6 (codes are not in digit order)"},
        {0x32, XK_grave, "grave"},
        {0x0A, XK_section, "ISO key beside 1"},
        {0x24, XK_Return, "return"},
        {0x30, XK_Tab, "tab"},
        {0x31, XK_space, "space"},
        {0x33, XK_BackSpace, "delete is backspace"},
        {0x75, XK_Delete, "forward delete"},
        {0x35, XK_Escape, "escape"},
        {0x37, XK_Control_L, "left command is control"},
        {0x36, XK_Control_R, "right command is control"},
        {0x3B, XK_Control_L, "left control"},
        {0x38, XK_Shift_L, "left shift"},
        {0x3C, XK_Shift_R, "right shift"},
        {0x3A, XK_Alt_L, "left option is alt"},
        {0x3D, XK_Alt_R, "right option is alt"},
        {0x39, XK_Caps_Lock, "caps lock"},
        {0x7A, XK_F1, "F1"},
        {0x6F, XK_F12, "F12"},
        {0x5A, XK_F20, "F20"},
        {0x7B, XK_Left, "left arrow"},
        {0x7E, XK_Up, "up arrow"},
        {0x73, XK_Home, "home"},
        {0x79, XK_Page_Down, "page down"},
        {0x72, XK_Insert, "help is insert"},
        {0x52, XK_KP_0, "keypad 0"},
        {0x5C, XK_KP_9, "keypad 9"},
        {0x4C, XK_KP_Enter, "keypad enter"},
        {0x51, XK_KP_Equal, "keypad equals"},
        {0x48, XF86XK_AudioRaiseVolume, "volume up"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(macKeyToKeysym(c.code), c.keysym) << c.note;
    }
}

TEST(MacKeyMap, LeavesOnlyMeaninglessCodesUnmapped) {
    // fn (63) is consumed by the keyboard; the rest are assigned to no key.
    const std::set<uint16_t> unmapped{52, 63, 66, 68, 70, 77, 108, 112, 127};
    std::map<Keysym, int> uses;
    for (uint16_t code = 0; code < 128; ++code) {
        const Keysym keysym = macKeyToKeysym(code);
        EXPECT_EQ(keysym == kNoSymbol, unmapped.contains(code)) << "code " << code;
        uses[keysym] += 1;
    }
    // Two keys share a keysym only where Command and Control are merged on purpose.
    for (const auto& [keysym, count] : uses) {
        if (keysym != kNoSymbol && keysym != XK_Control_L && keysym != XK_Control_R) {
            EXPECT_EQ(count, 1) << "keysym 0x" << std::hex << keysym;
        }
    }
    EXPECT_EQ(uses[XK_Control_L], 2);
    EXPECT_EQ(uses[XK_Control_R], 2);
    EXPECT_EQ(macKeyToKeysym(128), static_cast<Keysym>(kNoSymbol));
    EXPECT_EQ(macKeyToKeysym(0xFFFF), static_cast<Keysym>(kNoSymbol));
}

TEST(MacKeyMap, CommandAndControlFlagsBothHoldControl) {
    struct Case {
        uint64_t flags;
        std::vector<Keysym> keysyms;
    };
    const Case cases[] = {
        {0, {}},
        {0x100000, {XK_Control_L}},
        {0x40000, {XK_Control_L}},
        {0x100000 | 0x40000, {XK_Control_L}},
        {0x20000 | 0x80000 | 0x100000, {XK_Shift_L, XK_Control_L, XK_Alt_L}},
        {0x10000, {}},  // caps lock and other bits are not modifiers to hold
    };
    for (const Case& c : cases) {
        EXPECT_EQ(modifierKeysyms(c.flags), c.keysyms) << std::hex << c.flags;
    }
    EXPECT_TRUE(isMacModifierKey(0x37));
    EXPECT_TRUE(isMacModifierKey(0x3F));
    EXPECT_FALSE(isMacModifierKey(0x09));
    EXPECT_FALSE(isMacModifierKey(0x35));
}

TEST(CharacterKeysym, LatinOneDirectOthersInTheUnicodeRange) {
    struct Case {
        char32_t scalar;
        Keysym keysym;
    };
    const Case cases[] = {
        {U'a', XK_a},
        {U'~', XK_asciitilde},
        {U' ', XK_space},
        {U'\u00E9', XK_eacute},
        {U'\u00A0', XK_nobreakspace},
        {U'\u20AC', 0x010020AC},
        {U'\u65E5', 0x010065E5},
        {U'\U0001F600', 0x0101F600},
        {U'\n', XK_Return},
        {U'\r', XK_Return},
        {U'\t', XK_Tab},
        {U'\x1B', kNoSymbol},  // escape is never typed from text
        {U'\b', kNoSymbol},
        {U'\x7F', kNoSymbol},
        {U'\x85', kNoSymbol},
        {0xD800, kNoSymbol},
        {0x110000, kNoSymbol},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(characterKeysym(c.scalar), c.keysym)
            << std::hex << static_cast<uint32_t>(c.scalar);
    }
}

}  // namespace
}  // namespace caldrovex
