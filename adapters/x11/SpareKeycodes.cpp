#include "adapters/x11/SpareKeycodes.h"

#include <algorithm>
#include <memory>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {

namespace {

struct Keymap {
    int minCode = 0;
    int perCode = 0;
    X11Ptr<KeySym> syms;

    bool empty(int code) const {
        const KeySym* row = syms.get() + (code - minCode) * perCode;
        return std::all_of(row, row + perCode, [](KeySym s) { return s == NoSymbol; });
    }
    bool onlyKeysym(int code, KeySym keysym) const {
        const KeySym* row = syms.get() + (code - minCode) * perCode;
        return std::all_of(row, row + perCode, [&](KeySym s) { return s == keysym; });
    }
};

Keymap fetch(Display* display) {
    int minCode = 0;
    int maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    Keymap map;
    map.minCode = minCode;
    map.syms.reset(XGetKeyboardMapping(display, static_cast<KeyCode>(minCode),
                                       maxCode - minCode + 1, &map.perCode));
    return map;
}

}  // namespace

SpareKeycodes::SpareKeycodes(Display* display) : display_(display) {
    int minCode = 0;
    int maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    const Keymap map = fetch(display);
    if (!map.syms) {
        return;
    }
    keysymsPerKeycode_ = map.perCode;
    for (int code = minCode; code <= maxCode; ++code) {
        if (map.empty(code)) {
            slots_.push_back(Slot{static_cast<KeyCode>(code)});
        }
    }
}

std::optional<KeyCode> SpareKeycodes::bind(KeySym keysym, double now) {
    for (Slot& slot : slots_) {
        if (slot.keysym == keysym) {
            slot.lastUse = now;
            return slot.code;
        }
    }
    Slot* oldest = nullptr;
    for (Slot& slot : slots_) {
        if (slot.pins > 0 || now - slot.lastUse < kRebindAfterSeconds) {
            continue;
        }
        if (!oldest || slot.lastUse < oldest->lastUse) {
            oldest = &slot;
        }
    }
    if (!oldest) {
        return std::nullopt;
    }
    write(oldest->code, keysym);
    oldest->keysym = keysym;
    oldest->lastUse = now;
    return oldest->code;
}

bool SpareKeycodes::anyUnpinned() const {
    return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.pins == 0; });
}

void SpareKeycodes::pin(KeyCode code) {
    if (Slot* slot = find(code)) {
        slot->pins += 1;
    }
}

void SpareKeycodes::unpin(KeyCode code) {
    if (Slot* slot = find(code); slot && slot->pins > 0) {
        slot->pins -= 1;
    }
}

bool SpareKeycodes::isSpare(KeyCode code) const {
    return std::any_of(slots_.begin(), slots_.end(),
                       [&](const Slot& slot) { return slot.code == code; });
}

void SpareKeycodes::restore() {
    for (Slot& slot : slots_) {
        if (slot.pins == 0 && slot.keysym != NoSymbol) {
            write(slot.code, NoSymbol);
            slot.keysym = NoSymbol;
        }
    }
}

void SpareKeycodes::recheck() {
    const Keymap map = fetch(display_);
    if (!map.syms) {
        return;
    }
    keysymsPerKeycode_ = map.perCode;
    std::erase_if(slots_, [&](const Slot& slot) {
        const bool ours =
            slot.keysym == NoSymbol ? map.empty(slot.code) : map.onlyKeysym(slot.code, slot.keysym);
        return !ours && slot.pins == 0;
    });
}

size_t SpareKeycodes::boundCount() const {
    return static_cast<size_t>(std::count_if(slots_.begin(), slots_.end(),
                                             [](const Slot& s) { return s.keysym != NoSymbol; }));
}

SpareKeycodes::Slot* SpareKeycodes::find(KeyCode code) {
    for (Slot& slot : slots_) {
        if (slot.code == code) {
            return &slot;
        }
    }
    return nullptr;
}

void SpareKeycodes::write(KeyCode code, KeySym keysym) {
    std::vector<KeySym> row(static_cast<size_t>(keysymsPerKeycode_), keysym);
    XChangeKeyboardMapping(display_, code, keysymsPerKeycode_, row.data(), 1);
}

}  // namespace caldrovex::platform
