#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace caldrovex::platform {

// Keycodes that the keymap leaves empty, lent out to type keysyms the keymap does not have.
//
// A lent keycode carries its keysym on every level, so Shift or a group switch held at the
// desktop cannot turn it into another character. Clients translate a key event with the
// keymap they fetch when they notice a mapping change, which may be well after the event
// arrived; a keycode re-bound too soon makes an earlier key read as the later keysym. So
// bindings are kept and reused (a text with many a's binds 'a' once), a new keysym takes the
// least recently used keycode, but only one whose last key is `kRebindAfterSeconds` old, and
// the owner gives all keycodes back (`restore`) only once typing has been quiet for a while.
//
// Contract: used from one thread, on the connection it was made with, which must outlive it.
class SpareKeycodes {
public:
    // Long enough for a client busy drawing a frame or two to translate the keys already
    // sent; short enough that text with more distinct characters than there are spare
    // keycodes still types at dozens of characters a second.
    static constexpr double kRebindAfterSeconds = 0.2;

    // Finds the empty keycodes of the current keymap.
    explicit SpareKeycodes(Display* display);

    // A keycode that types `keysym` from time `now` (monotonic seconds) on, binding one if
    // needed. Empty when every spare keycode is pinned or was used too recently to re-bind
    // (then `anyUnpinned` tells whether waiting helps), or the keymap has none.
    std::optional<KeyCode> bind(KeySym keysym, double now);
    bool anyUnpinned() const;

    // A pinned keycode is held down and must keep its keysym until unpinned.
    void pin(KeyCode code);
    void unpin(KeyCode code);

    bool isSpare(KeyCode code) const;

    // Gives every unpinned bound keycode its empty mapping back.
    void restore();

    // Drops keycodes that a new keymap has taken for itself; call after the keymap changed.
    void recheck();

    // Observable state for tests: the number of spare keycodes and of those now bound.
    size_t capacity() const { return slots_.size(); }
    size_t boundCount() const;

private:
    struct Slot {
        KeyCode code;
        KeySym keysym = NoSymbol;  // NoSymbol: empty
        double lastUse = -1e300;   // never
        int pins = 0;
    };

    Slot* find(KeyCode code);
    void write(KeyCode code, KeySym keysym);

    Display* display_;
    int keysymsPerKeycode_ = 1;
    std::vector<Slot> slots_;
};

}  // namespace caldrovex::platform
