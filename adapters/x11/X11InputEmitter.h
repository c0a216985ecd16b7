#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "adapters/x11/WheelAccumulator.h"
#include "adapters/x11/X11Handles.h"
#include "input/DisplayRect.h"
#include "input/InputController.h"
#include "input/InputEvent.h"
#include "platform/Clock.h"
#include "platform/Queue.h"

namespace caldrovex::platform {

class SpareKeycodes;
class X11ErrorTrap;

// Delivers the input controller's events to an X server through the XTest extension, on a
// connection of its own.
//
// Pointer events move the pointer to the event's position and press or release buttons 1
// (left) and 3 (right); X applications count double clicks themselves from the timing, so the
// click state has no counterpart. Scroll amounts in pixels become wheel clicks (buttons 4-7),
// the remainder carried to the next scroll. Keys go through the table of MacKeyMap.cpp to a
// keysym, then to the keycode that types it at the first level, or to a lent spare keycode
// (SpareKeycodes) when the keymap has none. Text is typed character by character on spare
// keycodes bound to each character's keysym; the bindings are given back once typing has been
// quiet for `kRestoreDelaySeconds`, and when the emitter goes away.
//
// A spare keycode is not re-bound while clients may still be translating its last key, so text
// with more distinct characters than the keymap has spare keycodes is typed in batches: the
// emitter then holds this and every later event in a queue of its own, in order, and carries
// on from `queue` when keycodes are free again. The queue is bounded: past
// `kMaxPendingEvents` it stops waiting and types what it can at once, dropping the characters
// that find no keycode, so a flood of text cannot build up unbounded work.
//
// The modifier flags of a key or button event, press or release, and of a drag are held down
// around that event only (pressed before it, released after it), and only those not already
// active, so a modifier can never stay stuck between messages, a release arrives with the
// state its press had, and a Shift the device holds as a key is not pressed twice. Plain moves
// get none: a modifier tapped at every pointer step would trigger desktop features (Control
// alone locates the pointer). Flags cannot take away a modifier that is held: X cannot deliver
// a key without the modifiers that are down.
//
// Contract: made, used and destroyed on `queue` (the host's main queue), which also runs the
// delayed keymap restore; the controller's callbacks from `callbacks()` hold the emitter
// weakly. Destroying the emitter releases every key and button it still holds.
class X11InputEmitter : public std::enable_shared_from_this<X11InputEmitter> {
public:
    // Typing must have been quiet this long before the spare keycodes are given back, so that
    // every client has translated the keys it received with the bindings they were typed with.
    static constexpr double kRestoreDelaySeconds = 2.0;
    // Two full seconds of input at the controller's rate limit.
    static constexpr size_t kMaxPendingEvents = 1000;

    // Opens a connection to `displayName` ($DISPLAY when null). Null when it cannot be opened.
    // `clock` tells when spare keycodes may be re-bound; it must outlive the emitter.
    static std::shared_ptr<X11InputEmitter> open(QueuePtr queue, ClockPtr clock,
                                                 const char* displayName = nullptr);

    ~X11InputEmitter();
    X11InputEmitter(const X11InputEmitter&) = delete;
    X11InputEmitter& operator=(const X11InputEmitter&) = delete;

    // Injection is possible when the server has the XTest extension.
    bool permission() const { return hasXTest_; }
    // Bounds of a RandR output; see X11DisplayBounds.h.
    DisplayRect displayBounds(uint32_t displayID);
    void emit(const InputEvent& event);
    // The display normalized coordinates refer to until a stream picks one.
    uint32_t mainDisplayID();

    // The three callbacks for an InputController, holding this emitter weakly.
    InputController::Callbacks callbacks();

    // Gives every spare keycode not held down its empty mapping back, at once.
    void restoreKeymap();

    // Waits until the server has processed every event sent so far.
    void sync();

    // Observable state for tests.
    const SpareKeycodes& spareKeycodes() const { return *spare_; }
    size_t pendingEvents() const { return pending_.size(); }

private:
    // Xlib's KeyCode and KeySym.
    using KeyCode = unsigned char;
    using KeySym = unsigned long;

    struct PressedKey {
        KeyCode code;
        bool spare;
    };

    X11InputEmitter(DisplayHandle display, QueuePtr queue, ClockPtr clock);

    void pump(bool mayWait);
    void scheduleResume();
    bool apply(const InputEvent& event, bool mayWait);
    void mouse(const InputEvent& event);
    void scroll(const InputEvent& event);
    bool key(const InputEvent& event, bool mayWait);
    bool typeText(const std::u16string& chunk, bool mayWait);
    std::optional<KeyCode> bindSpare(KeySym keysym, bool mayWait, bool& wait);

    void readMappingChanges();
    void refreshKeymap();
    std::optional<KeyCode> keycodeAtFirstLevel(KeySym keysym) const;
    unsigned modifierMaskOf(KeyCode code) const;
    std::vector<KeyCode> modifiersAround(const InputEvent& keyEvent);
    std::vector<KeyCode> pressMissingModifiers(std::optional<uint64_t> flags);
    void releaseModifiers(const std::vector<KeyCode>& pressed);
    void moveTo(double x, double y);
    void clickWheel(unsigned button, int32_t clicks);
    void scheduleRestore();

    DisplayHandle display_;
    // Protocol errors on this connection (a keymap changed under us, an output gone) are
    // recorded here instead of reaching Xlib's default handler, which ends the process.
    std::unique_ptr<X11ErrorTrap> trap_;
    QueuePtr queue_;
    ClockPtr clock_;
    bool hasXTest_ = false;
    std::unique_ptr<SpareKeycodes> spare_;
    // A snapshot of the keymap (keysyms per keycode) and of the modifier map, refreshed
    // whenever the server announces a mapping change.
    int minKeycode_ = 0;
    int keysymsPerKeycode_ = 0;
    std::vector<KeySym> keymap_;
    std::vector<std::set<KeyCode>> modifierMap_;  // eight rows: Shift, Lock, Control, Mod1-5
    std::map<uint16_t, PressedKey> pressedKeys_;  // by device key code
    std::set<unsigned> pressedButtons_;
    WheelAccumulator vertical_;
    WheelAccumulator horizontal_;
    std::optional<DisplayRect> lastBounds_;
    bool lastTypedCarriageReturn_ = false;  // a '\n' right after '\r' is the same line break
    uint64_t typingGeneration_ = 0;
    // Events waiting for spare keycodes, oldest first; the front one may be a text chunk
    // typed up to `typedOfFront_` scalars.
    std::deque<InputEvent> pending_;
    size_t typedOfFront_ = 0;
    bool waiting_ = false;
    uint64_t resumeGeneration_ = 0;
};

}  // namespace caldrovex::platform
