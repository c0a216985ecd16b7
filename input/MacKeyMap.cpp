// Device key codes to keysyms.
//
// The device speaks the key codes of an Apple keyboard: positions on the US (ANSI) layout,
// numbered 0-127. We map each code to the keysym that the key carries on that layout ('a' for
// code 0, BackSpace for "delete", Delete for "forward delete") and let the emitter find a
// keycode for that keysym in the desktop's keymap, binding a spare keycode when the keymap has
// none. The result is symbol-true rather than position-true: Command-Z undoes on an AZERTY
// desktop too, because what the device meant was 'z'.
//
// Command and Control. Command is the key of the device user's shortcuts (Command-C,
// Command-V, Command-Z, Command-A, Command-S...), and the host's own clipboard "paste" is a
// Command-V. Ordinary Linux applications bind those shortcuts to Control, and Super-V, the
// literal translation, pastes nowhere (desktops keep Super for the window manager). So the
// Command flag and both Command keys (codes 55 and 54) become Control, exactly like the
// Control flag and the Control keys (59 and 62): Command-V pastes, Command-C copies. The
// price: Command-C and Control-C are the same chord, so in a terminal Command-C interrupts
// rather than copies (terminals copy with Control-Shift-C), and no device key reaches Super.
//
// Option becomes Alt (Alt_L and Alt_R for the left and right keys; Alt_R is AltGr on layouts
// that have one). Shift and Caps Lock are themselves. The fn key (63) has no X counterpart,
// as the keyboard consumes it, and is left unmapped. The remaining decisions: the Help key
// (114) is Insert, since an Apple keyboard has Help where a PC keyboard has Insert and PC
// keyboards on Apple systems report Insert as Help; keypad Clear (71) is Clear, not Num Lock,
// because the device's keypad always types digits; the keypad digits map to KP_0-KP_9, which
// the emitter binds so that they type digits whatever the Num Lock state; the ISO key left of
// 1 (10) is the section sign it is printed with; the JIS keys are Yen, underscore,
// KP_Separator, Eisu_toggle and Hiragana_Katakana; the volume keys map to the XF86 audio
// keysyms. Codes that no Apple keyboard assigns (52, 66, 68, 70, 77, 108, 112, 127) produce
// nothing, like fn.
#include "input/MacKeyMap.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <array>

namespace caldrovex {

namespace {

constexpr std::array<Keysym, 128> makeTable() {
    std::array<Keysym, 128> t{};  // kNoSymbol is 0
    // Letters.
    t[0x00] = XK_a;
    t[0x01] = XK_s;
    t[0x02] = XK_d;
    t[0x03] = XK_f;
    t[0x04] = XK_h;
    t[0x05] = XK_g;
    t[0x06] = XK_z;
    t[0x07] = XK_x;
    t[0x08] = XK_c;
    t[0x09] = XK_v;
    t[0x0B] = XK_b;
    t[0x0C] = XK_q;
    t[0x0D] = XK_w;
    t[0x0E] = XK_e;
    t[0x0F] = XK_r;
    t[0x10] = XK_y;
    t[0x11] = XK_t;
    t[0x1F] = XK_o;
    t[0x20] = XK_u;
    t[0x22] = XK_i;
    t[0x23] = XK_p;
    t[0x25] = XK_l;
    t[0x26] = XK_j;
    t[0x28] = XK_k;
    t[0x2D] = XK_n;
    t[0x2E] = XK_m;
    // Digits.
    t[0x12] = XK_1;
    t[0x13] = XK_2;
    t[0x14] = XK_3;
    t[0x15] = XK_4;
    t[0x17] = XK_5;
    t[0x16] = XK_6;
    t[0x1A] = XK_7;
    t[0x1C] = XK_8;
    t[0x19] = XK_9;
    t[0x1D] = XK_0;
    // Punctuation.
    t[0x0A] = XK_section;
    t[0x18] = XK_equal;
    t[0x1B] = XK_minus;
    t[0x1E] = XK_bracketright;
    t[0x21] = XK_bracketleft;
    t[0x27] = XK_apostrophe;
    t[0x29] = XK_semicolon;
    t[0x2A] = XK_backslash;
    t[0x2B] = XK_comma;
    t[0x2C] = XK_slash;
    t[0x2F] = XK_period;
    t[0x32] = XK_grave;
    // Editing and whitespace.
    t[0x24] = XK_Return;
    t[0x30] = XK_Tab;
    t[0x31] = XK_space;
    t[0x33] = XK_BackSpace;
    t[0x35] = XK_Escape;
    t[0x75] = XK_Delete;
    t[0x72] = XK_Insert;
    // Modifiers: Command is Control (see above).
    t[0x36] = XK_Control_R;
    t[0x37] = XK_Control_L;
    t[0x38] = XK_Shift_L;
    t[0x39] = XK_Caps_Lock;
    t[0x3A] = XK_Alt_L;
    t[0x3B] = XK_Control_L;
    t[0x3C] = XK_Shift_R;
    t[0x3D] = XK_Alt_R;
    t[0x3E] = XK_Control_R;
    // Function keys.
    t[0x7A] = XK_F1;
    t[0x78] = XK_F2;
    t[0x63] = XK_F3;
    t[0x76] = XK_F4;
    t[0x60] = XK_F5;
    t[0x61] = XK_F6;
    t[0x62] = XK_F7;
    t[0x64] = XK_F8;
    t[0x65] = XK_F9;
    t[0x6D] = XK_F10;
    t[0x67] = XK_F11;
    t[0x6F] = XK_F12;
    t[0x69] = XK_F13;
    t[0x6B] = XK_F14;
    t[0x71] = XK_F15;
    t[0x6A] = XK_F16;
    t[0x40] = XK_F17;
    t[0x4F] = XK_F18;
    t[0x50] = XK_F19;
    t[0x5A] = XK_F20;
    // Navigation.
    t[0x73] = XK_Home;
    t[0x77] = XK_End;
    t[0x74] = XK_Page_Up;
    t[0x79] = XK_Page_Down;
    t[0x7B] = XK_Left;
    t[0x7C] = XK_Right;
    t[0x7D] = XK_Down;
    t[0x7E] = XK_Up;
    t[0x6E] = XK_Menu;
    // Keypad.
    t[0x41] = XK_KP_Decimal;
    t[0x43] = XK_KP_Multiply;
    t[0x45] = XK_KP_Add;
    t[0x47] = XK_Clear;
    t[0x4B] = XK_KP_Divide;
    t[0x4C] = XK_KP_Enter;
    t[0x4E] = XK_KP_Subtract;
    t[0x51] = XK_KP_Equal;
    t[0x52] = XK_KP_0;
    t[0x53] = XK_KP_1;
    t[0x54] = XK_KP_2;
    t[0x55] = XK_KP_3;
    t[0x56] = XK_KP_4;
    t[0x57] = XK_KP_5;
    t[0x58] = XK_KP_6;
    t[0x59] = XK_KP_7;
    t[0x5B] = XK_KP_8;
    t[0x5C] = XK_KP_9;
    // Media.
    t[0x48] = XF86XK_AudioRaiseVolume;
    t[0x49] = XF86XK_AudioLowerVolume;
    t[0x4A] = XF86XK_AudioMute;
    // JIS keyboards.
    t[0x5D] = XK_yen;
    t[0x5E] = XK_underscore;
    t[0x5F] = XK_KP_Separator;
    t[0x66] = XK_Eisu_toggle;
    t[0x68] = XK_Hiragana_Katakana;
    return t;
}

constexpr std::array<Keysym, 128> kTable = makeTable();

// Device modifier flag bits.
constexpr uint64_t kShiftFlag = 0x20000;
constexpr uint64_t kControlFlag = 0x40000;
constexpr uint64_t kOptionFlag = 0x80000;
constexpr uint64_t kCommandFlag = 0x100000;

}  // namespace

Keysym macKeyToKeysym(uint16_t code) {
    return code < kTable.size() ? kTable[code] : kNoSymbol;
}

bool isMacModifierKey(uint16_t code) {
    return code >= 0x36 && code <= 0x3F;
}

std::vector<Keysym> modifierKeysyms(uint64_t flags) {
    std::vector<Keysym> out;
    if (flags & kShiftFlag) {
        out.push_back(XK_Shift_L);
    }
    if (flags & (kControlFlag | kCommandFlag)) {
        out.push_back(XK_Control_L);
    }
    if (flags & kOptionFlag) {
        out.push_back(XK_Alt_L);
    }
    return out;
}

}  // namespace caldrovex
