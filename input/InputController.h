#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "input/DisplayRect.h"
#include "input/InputEvent.h"
#include "input/InputMessage.h"
#include "platform/Clock.h"

namespace caldrovex {

// Turns the device's pointer and keyboard messages into synthetic input events on the
// desktop: moves and drags, left and right clicks with double- and triple-click counting,
// scroll steps, keys by virtual key code, and text by Unicode string. It remembers which keys
// and buttons the device holds so that `releaseAll` can let go of them when control ends, and
// it caps the message rate so that a flooding device cannot swamp the desktop.
//
// The controller never touches the window system itself: it asks three callbacks whether it
// may inject, where a display lies and to deliver each event (adapters/x11/X11InputEmitter
// supplies the real ones, tests a recorder). Time comes from the injected clock.
//
// Contract: used from the host's main queue only; not thread-safe. The callbacks are called
// synchronously from `handle` and `releaseAll` and must not call back into the controller.
// The clock must outlive the controller.
class InputController {
public:
    using PermissionCallback = std::function<bool()>;
    using DisplayBoundsCallback = std::function<DisplayRect(uint32_t displayID)>;
    using EmitCallback = std::function<void(const InputEvent&)>;

    struct Callbacks {
        PermissionCallback permission;        // asked before every message
        DisplayBoundsCallback displayBounds;  // global rectangle of a display
        EmitCallback emit;                    // delivers one made event
    };

    // Messages are counted in windows of this length...
    static constexpr double kRateWindowSeconds = 1.0;
    // ...and the ones past this count are dropped: enough for a 120 Hz pointer plus typing,
    // far below what would flood the desktop's event queue. Releases always pass.
    static constexpr int64_t kMessagesPerWindow = 500;
    // A left press this soon after the previous one, and this close to it, counts on.
    static constexpr double kDoubleClickSeconds = 0.5;
    static constexpr double kDoubleClickDistance = 8.0;
    static constexpr int64_t kHighestClickCount = 3;
    // Key codes past the device keyboard's range are not keys of any layout.
    static constexpr uint16_t kHighestKeyCode = 0x7F;
    // Larger scroll steps are gestures gone wrong; clamp them rather than scroll pages away.
    static constexpr double kScrollClamp = 2000;
    // Bounds the typing a single message can cause.
    static constexpr size_t kLongestTextUnits = 1024;
    // Text is typed in small pieces, as a keyboard would deliver it.
    static constexpr size_t kTextChunkUnits = 20;

    // `mainDisplayID` is the display normalized coordinates refer to until the session sets
    // `displayID`.
    InputController(Callbacks callbacks, platform::ClockPtr clock, uint32_t mainDisplayID);

    // Applies one input message; unusable messages are ignored without a word.
    void handle(const InputMessage& message);

    // Releases every held key and button, then forgets them.
    void releaseAll();

    // The display that normalized coordinates refer to; set by the session when a stream
    // starts.
    uint32_t displayID;

    // Observable state, for the session and for tests.
    const std::set<uint16_t>& heldKeys() const { return heldKeys_; }
    const std::set<int>& heldButtons() const { return heldButtons_; }
    double pointX() const { return pointX_; }
    double pointY() const { return pointY_; }
    int64_t clickCount() const { return clickCount_; }

private:
    bool admit(const InputMessage& message);
    void updatePoint(const InputMessage& message);
    void move(uint64_t flags);
    void button(const InputMessage& message, uint64_t flags);
    void scroll(const InputMessage& message);
    void key(const InputMessage& message, uint64_t flags);
    void text(const InputMessage& message);

    Callbacks callbacks_;
    platform::ClockPtr clock_;
    std::set<uint16_t> heldKeys_;
    std::set<int> heldButtons_;  // 0 left, 1 right
    double pointX_ = 0;
    double pointY_ = 0;
    int64_t eventCount_ = 0;
    double rateWindow_;
    double lastClickTime_;
    double lastClickX_ = 0;
    double lastClickY_ = 0;
    int64_t clickCount_ = 1;
};

}  // namespace caldrovex
