#include "adapters/x11/X11InputEmitter.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cmath>

#include "adapters/x11/SpareKeycodes.h"
#include "adapters/x11/X11DisplayBounds.h"
#include "adapters/x11/X11ErrorTrap.h"
#include "input/CharacterKeysym.h"
#include "input/MacKeyMap.h"

namespace caldrovex::platform {

namespace {

using MouseType = InputEvent::MouseType;

// X pointer buttons.
constexpr unsigned kLeftButton = 1;
constexpr unsigned kRightButton = 3;
constexpr unsigned kWheelUp = 4;
constexpr unsigned kWheelDown = 5;
constexpr unsigned kWheelLeft = 6;
constexpr unsigned kWheelRight = 7;

}  // namespace

std::shared_ptr<X11InputEmitter> X11InputEmitter::open(QueuePtr queue, ClockPtr clock,
                                                       const char* displayName) {
    DisplayHandle display(XOpenDisplay(displayName));
    if (!display) {
        return nullptr;
    }
    return std::shared_ptr<X11InputEmitter>(
        new X11InputEmitter(std::move(display), std::move(queue), std::move(clock)));
}

X11InputEmitter::X11InputEmitter(DisplayHandle display, QueuePtr queue, ClockPtr clock)
    : display_(std::move(display)),
      trap_(std::make_unique<X11ErrorTrap>(display_.get())),
      queue_(std::move(queue)),
      clock_(std::move(clock)),
      spare_(std::make_unique<SpareKeycodes>(display_.get())) {
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    hasXTest_ = XTestQueryExtension(display_.get(), &eventBase, &errorBase, &major, &minor);
    refreshKeymap();
}

X11InputEmitter::~X11InputEmitter() {
    // Whatever still waits is dropped; nothing it would press may stay down.
    for (const auto& [device, pressed] : pressedKeys_) {
        XTestFakeKeyEvent(display_.get(), pressed.code, False, CurrentTime);
        if (pressed.spare) {
            spare_->unpin(pressed.code);
        }
    }
    for (const unsigned button : pressedButtons_) {
        XTestFakeButtonEvent(display_.get(), button, False, CurrentTime);
    }
    spare_->restore();
    XSync(display_.get(), False);
}

DisplayRect X11InputEmitter::displayBounds(uint32_t displayID) {
    lastBounds_ = x11DisplayBounds(display_.get(), displayID);
    return *lastBounds_;
}

uint32_t X11InputEmitter::mainDisplayID() {
    return x11MainDisplayID(display_.get());
}

InputController::Callbacks X11InputEmitter::callbacks() {
    std::weak_ptr<X11InputEmitter> weak = weak_from_this();
    InputController::Callbacks callbacks;
    callbacks.permission = [weak] {
        const auto self = weak.lock();
        return self && self->permission();
    };
    callbacks.displayBounds = [weak](uint32_t id) {
        const auto self = weak.lock();
        return self ? self->displayBounds(id) : DisplayRect{};
    };
    callbacks.emit = [weak](const InputEvent& event) {
        if (const auto self = weak.lock()) {
            self->emit(event);
        }
    };
    return callbacks;
}

void X11InputEmitter::emit(const InputEvent& event) {
    if (!hasXTest_) {
        return;
    }
    pending_.push_back(event);
    const bool full = pending_.size() > kMaxPendingEvents;
    if (waiting_ && !full) {
        return;  // keeps its place behind the events that wait for keycodes
    }
    pump(!full);
}

// Applies waiting events in order until one has to wait for spare keycodes (only when
// `mayWait`), then comes back when keycodes may have come free.
void X11InputEmitter::pump(bool mayWait) {
    waiting_ = false;
    readMappingChanges();
    while (!pending_.empty()) {
        if (!apply(pending_.front(), mayWait)) {
            waiting_ = true;
            scheduleResume();
            break;
        }
        pending_.pop_front();
        typedOfFront_ = 0;
    }
    XFlush(display_.get());
}

void X11InputEmitter::scheduleResume() {
    const uint64_t generation = ++resumeGeneration_;
    std::weak_ptr<X11InputEmitter> weak = weak_from_this();
    queue_->postAfter(SpareKeycodes::kRebindAfterSeconds, [weak, generation] {
        const auto self = weak.lock();
        if (self && self->waiting_ && self->resumeGeneration_ == generation) {
            self->pump(true);
        }
    });
}

// False when the event must wait for spare keycodes; it is then tried again later.
bool X11InputEmitter::apply(const InputEvent& event, bool mayWait) {
    switch (event.kind) {
        case InputEvent::Kind::mouse:
            mouse(event);
            return true;
        case InputEvent::Kind::scroll:
            scroll(event);
            return true;
        case InputEvent::Kind::key:
            return key(event, mayWait);
        case InputEvent::Kind::text:
            // The chunk is typed whole on the key-down; its key-up has nothing left to do.
            return !event.keyDown || typeText(event.text, mayWait);
    }
    return true;
}

// A spare keycode for `keysym`, or none; `wait` is set when one will come free shortly and
// the caller may wait for it.
std::optional<KeyCode> X11InputEmitter::bindSpare(KeySym keysym, bool mayWait, bool& wait) {
    const std::optional<KeyCode> code = spare_->bind(keysym, clock_->monotonic());
    wait = !code && mayWait && spare_->anyUnpinned();
    return code;
}

void X11InputEmitter::sync() {
    XSync(display_.get(), False);
}

void X11InputEmitter::mouse(const InputEvent& event) {
    const unsigned button = event.button == InputEvent::Button::right ? kRightButton : kLeftButton;
    // Presses, drags and releases carry the device's modifiers (a Shift-click ends as a
    // Shift-release, as applications that act on the release expect); a plain move does not,
    // where a modifier tap at every step would only stir up the desktop.
    const bool plainMove = event.mouseType == MouseType::moved;
    const std::vector<KeyCode> modifiers =
        pressMissingModifiers(plainMove ? std::nullopt : event.flags);
    moveTo(event.x, event.y);
    switch (event.mouseType) {
        case MouseType::leftDown:
        case MouseType::rightDown:
            XTestFakeButtonEvent(display_.get(), button, True, CurrentTime);
            pressedButtons_.insert(button);
            break;
        case MouseType::leftUp:
        case MouseType::rightUp:
            XTestFakeButtonEvent(display_.get(), button, False, CurrentTime);
            pressedButtons_.erase(button);
            break;
        case MouseType::moved:
        case MouseType::leftDragged:
        case MouseType::rightDragged:
            break;
    }
    releaseModifiers(modifiers);
}

// Positions are continuous, pixels are not: the right edge of a display (x + width) is the
// first pixel of its right-hand neighbour, so the position is kept on the last display whose
// bounds were read.
void X11InputEmitter::moveTo(double x, double y) {
    double px = std::floor(x);
    double py = std::floor(y);
    if (lastBounds_ && lastBounds_->width >= 1 && lastBounds_->height >= 1) {
        px = std::clamp(px, lastBounds_->x, lastBounds_->x + lastBounds_->width - 1);
        py = std::clamp(py, lastBounds_->y, lastBounds_->y + lastBounds_->height - 1);
    }
    // The server confines the pointer to the root window; this only keeps the cast defined.
    px = std::clamp(px, -32768.0, 32767.0);
    py = std::clamp(py, -32768.0, 32767.0);
    XTestFakeMotionEvent(display_.get(), DefaultScreen(display_.get()), static_cast<int>(px),
                         static_cast<int>(py), CurrentTime);
}

// Positive vertical amounts scroll up (button 4), positive horizontal ones left (button 6).
void X11InputEmitter::scroll(const InputEvent& event) {
    const int32_t up = vertical_.add(event.wheelVertical);
    clickWheel(up > 0 ? kWheelUp : kWheelDown, std::abs(up));
    const int32_t left = horizontal_.add(event.wheelHorizontal);
    clickWheel(left > 0 ? kWheelLeft : kWheelRight, std::abs(left));
}

void X11InputEmitter::clickWheel(unsigned button, int32_t clicks) {
    for (int32_t i = 0; i < clicks; ++i) {
        XTestFakeButtonEvent(display_.get(), button, True, CurrentTime);
        XTestFakeButtonEvent(display_.get(), button, False, CurrentTime);
    }
}

bool X11InputEmitter::key(const InputEvent& event, bool mayWait) {
    lastTypedCarriageReturn_ = false;
    if (!event.keyDown) {
        const auto it = pressedKeys_.find(event.keyCode);
        if (it == pressedKeys_.end()) {
            return true;  // never pressed here: nothing to let go of
        }
        const PressedKey pressed = it->second;
        pressedKeys_.erase(it);
        // The release carries the device's modifiers as the press did.
        const std::vector<KeyCode> modifiers = modifiersAround(event);
        XTestFakeKeyEvent(display_.get(), pressed.code, False, CurrentTime);
        releaseModifiers(modifiers);
        if (pressed.spare) {
            spare_->unpin(pressed.code);
            scheduleRestore();
        }
        return true;
    }
    const KeySym keysym = macKeyToKeysym(event.keyCode);
    if (keysym == NoSymbol) {
        return true;
    }
    PressedKey pressed{};
    if (const auto it = pressedKeys_.find(event.keyCode); it != pressedKeys_.end()) {
        pressed = it->second;  // a repeat: the same keycode again
    } else if (const auto code = keycodeAtFirstLevel(keysym)) {
        pressed = PressedKey{*code, false};
    } else {
        bool wait = false;
        const std::optional<KeyCode> spare = bindSpare(keysym, mayWait, wait);
        if (!spare) {
            return !wait;
        }
        pressed = PressedKey{*spare, true};
        spare_->pin(*spare);
    }
    const std::vector<KeyCode> modifiers = modifiersAround(event);
    XTestFakeKeyEvent(display_.get(), pressed.code, True, CurrentTime);
    releaseModifiers(modifiers);
    pressedKeys_[event.keyCode] = pressed;
    return true;
}

// Types the chunk from where an earlier call stopped; false when it stopped again to wait
// for spare keycodes.
bool X11InputEmitter::typeText(const std::u16string& chunk, bool mayWait) {
    const std::u32string text = utf16Scalars(chunk);
    bool finished = true;
    for (; typedOfFront_ < text.size(); ++typedOfFront_) {
        const char32_t scalar = text[typedOfFront_];
        const KeySym keysym = characterKeysym(scalar);
        if ((scalar == U'\n' && lastTypedCarriageReturn_) || keysym == NoSymbol) {
            lastTypedCarriageReturn_ = false;
            continue;
        }
        bool wait = false;
        const std::optional<KeyCode> code = bindSpare(keysym, mayWait, wait);
        if (wait) {
            finished = false;
            break;
        }
        lastTypedCarriageReturn_ = scalar == U'\r';
        if (code) {
            XTestFakeKeyEvent(display_.get(), *code, True, CurrentTime);
            XTestFakeKeyEvent(display_.get(), *code, False, CurrentTime);
        }
    }
    scheduleRestore();
    return finished;
}

void X11InputEmitter::scheduleRestore() {
    const uint64_t generation = ++typingGeneration_;
    std::weak_ptr<X11InputEmitter> weak = weak_from_this();
    queue_->postAfter(kRestoreDelaySeconds, [weak, generation] {
        const auto self = weak.lock();
        if (self && self->typingGeneration_ == generation) {
            self->restoreKeymap();
        }
    });
}

void X11InputEmitter::restoreKeymap() {
    readMappingChanges();
    spare_->restore();
    // A round trip, not a flush: once this returns the server has the keymap back, so no
    // client that asks after it (another program, a check) still sees our bindings.
    XSync(display_.get(), False);
}

// The server tells every client when the keymap changes (our own spare bindings included);
// the snapshot follows so that a new layout is used from the next key on.
void X11InputEmitter::readMappingChanges() {
    bool changed = false;
    while (XPending(display_.get()) > 0) {
        XEvent event;
        XNextEvent(display_.get(), &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            changed = true;
        }
    }
    if (changed) {
        refreshKeymap();
        spare_->recheck();
    }
}

void X11InputEmitter::refreshKeymap() {
    Display* display = display_.get();
    int maxKeycode = 0;
    XDisplayKeycodes(display, &minKeycode_, &maxKeycode);
    const int count = maxKeycode - minKeycode_ + 1;
    X11Ptr<KeySym> syms(XGetKeyboardMapping(display, static_cast<KeyCode>(minKeycode_), count,
                                            &keysymsPerKeycode_));
    keymap_.assign(syms.get(),
                   syms ? syms.get() + static_cast<size_t>(count * keysymsPerKeycode_) : nullptr);

    modifierMap_.assign(8, {});
    if (X11Ptr<XModifierKeymap> mods{XGetModifierMapping(display)}) {
        for (int row = 0; row < 8; ++row) {
            for (int k = 0; k < mods->max_keypermod; ++k) {
                const KeyCode code = mods->modifiermap[row * mods->max_keypermod + k];
                if (code != 0) {
                    modifierMap_[static_cast<size_t>(row)].insert(code);
                }
            }
        }
    }
}

// A keycode of the desktop's own keymap that gives `keysym` without any modifier. Keysyms on
// higher levels only (a shifted symbol, keypad digits behind Num Lock) do not count: the
// device's key means the keysym itself, whatever modifiers are up.
std::optional<KeyCode> X11InputEmitter::keycodeAtFirstLevel(KeySym keysym) const {
    if (keysymsPerKeycode_ <= 0) {
        return std::nullopt;
    }
    const auto per = static_cast<size_t>(keysymsPerKeycode_);
    for (size_t row = 0; row * per < keymap_.size(); ++row) {
        const auto code = static_cast<KeyCode>(minKeycode_ + static_cast<int>(row));
        if (keymap_[row * per] == keysym && !spare_->isSpare(code)) {
            return code;
        }
    }
    return std::nullopt;
}

unsigned X11InputEmitter::modifierMaskOf(KeyCode code) const {
    unsigned mask = 0;
    for (size_t row = 0; row < modifierMap_.size(); ++row) {
        if (modifierMap_[row].contains(code)) {
            mask |= 1u << row;
        }
    }
    return mask;
}

// A modifier key changes the modifiers itself: wrapping it would press or release it twice.
std::vector<KeyCode> X11InputEmitter::modifiersAround(const InputEvent& keyEvent) {
    return pressMissingModifiers(isMacModifierKey(keyEvent.keyCode) ? std::nullopt
                                                                    : keyEvent.flags);
}

std::vector<KeyCode> X11InputEmitter::pressMissingModifiers(std::optional<uint64_t> flags) {
    std::vector<KeyCode> pressed;
    const std::vector<Keysym> wanted = modifierKeysyms(flags.value_or(0));
    if (wanted.empty()) {
        return pressed;
    }
    XkbStateRec state{};
    XkbGetState(display_.get(), XkbUseCoreKbd, &state);
    unsigned active = state.mods;
    for (const KeySym keysym : wanted) {
        const std::optional<KeyCode> code = keycodeAtFirstLevel(keysym);
        const unsigned mask = code ? modifierMaskOf(*code) : 0;
        if (mask == 0 || (active & mask) == mask) {
            continue;  // not a modifier in this keymap, or already down
        }
        XTestFakeKeyEvent(display_.get(), *code, True, CurrentTime);
        pressed.push_back(*code);
        active |= mask;
    }
    return pressed;
}

void X11InputEmitter::releaseModifiers(const std::vector<KeyCode>& pressed) {
    for (auto it = pressed.rbegin(); it != pressed.rend(); ++it) {
        XTestFakeKeyEvent(display_.get(), *it, False, CurrentTime);
    }
}

}  // namespace caldrovex::platform
