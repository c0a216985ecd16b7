#include "adapters/mutter/MutterInputEmitter.h"

#include <X11/keysym.h>
#include <glib.h>

#include <algorithm>

#include "adapters/mutter/MutterSessionClipboard.h"
#include "input/CharacterKeysym.h"
#include "input/MacKeyMap.h"
#include "platform/QueueAssert.h"
#include "platform/SerialQueue.h"

namespace caldrovex::platform {

namespace {

using MouseType = InputEvent::MouseType;

// Whether a keysym is typed through a key: the printable ASCII characters, line breaks and
// tabs, which the Latin keyboard layouts all have. The compositor drops a keysym its layout
// has no key for, so everything else (accented letters, symbols like the euro, other scripts,
// emoji) is pasted instead.
bool typedByKey(Keysym keysym) {
    return keysym <= 0x7E || keysym == XK_Return || keysym == XK_Tab;
}

void tap(MutterRemoteSession& session, Keysym keysym) {
    session.key(keysym, true);
    session.key(keysym, false);
}

std::string utf8(const std::u32string& scalars) {
    std::string text;
    for (char32_t scalar : scalars) {
        char bytes[8];
        text.append(bytes, static_cast<size_t>(g_unichar_to_utf8(scalar, bytes)));
    }
    return text;
}

}  // namespace

MutterInputEmitter::MutterInputEmitter(std::shared_ptr<MutterDesktop> desktop, QueuePtr injection)
    : desktop_(std::move(desktop)),
      injection_(injection ? std::move(injection) : SerialQueue::make("caldrovex.input.gnome")) {}

bool MutterInputEmitter::permission() {
    return desktop_->current().has_value();
}

DisplayRect MutterInputEmitter::displayBounds(uint32_t displayID) {
    auto find = [&]() -> std::optional<DisplayRect> {
        for (const MutterMonitor& monitor : monitors_) {
            const CaptureDisplay& d = monitor.display;
            if (d.id == displayID)
                return DisplayRect{double(d.x), double(d.y), double(d.width), double(d.height)};
        }
        return std::nullopt;
    };
    if (auto current = desktop_->current(); current && current->display.id == displayID) {
        const CaptureDisplay& d = current->display;
        return DisplayRect{double(d.x), double(d.y), double(d.width), double(d.height)};
    }
    if (auto known = find()) return *known;
    try {
        monitors_ = desktop_->monitors();
    } catch (const CaldrovexError&) {
        monitors_.clear();
    }
    return find().value_or(DisplayRect{0, 0, 1, 1});
}

uint32_t MutterInputEmitter::mainDisplayID() {
    try {
        monitors_ = desktop_->monitors();
    } catch (const CaldrovexError&) {
        return 0;
    }
    return monitors_.empty() ? 0 : monitors_.front().display.id;
}

InputController::Callbacks MutterInputEmitter::callbacks() {
    std::weak_ptr<MutterInputEmitter> weak = weak_from_this();
    return {[weak] {
                auto self = weak.lock();
                return self && self->permission();
            },
            [weak](uint32_t displayID) {
                auto self = weak.lock();
                return self ? self->displayBounds(displayID) : DisplayRect{0, 0, 1, 1};
            },
            [weak](const InputEvent& event) {
                if (auto self = weak.lock()) self->emit(event);
            }};
}

void MutterInputEmitter::emit(const InputEvent& event) {
    auto current = desktop_->current();
    if (!current) return;
    injection_->post([weak = weak_from_this(), current = std::move(*current), event] {
        auto self = weak.lock();
        if (self && current.session->running())
            self->inject(*current.session, current.display, event);
    });
}

void MutterInputEmitter::inject(MutterRemoteSession& session, const CaptureDisplay& display,
                                const InputEvent& event) {
    assertOnQueue(*injection_);
    switch (event.kind) {
        case InputEvent::Kind::mouse:
            return mouse(session, display, event);
        case InputEvent::Kind::scroll:
            // Positive amounts scroll up and left; the compositor's axis points down and right.
            return session.pointerAxis(-event.wheelHorizontal * kAxisUnitsPerPixel,
                                       -event.wheelVertical * kAxisUnitsPerPixel);
        case InputEvent::Kind::key:
            return key(session, event);
        case InputEvent::Kind::text:
            // The chunk is typed whole on the key-down; its key-up has nothing left to do.
            if (event.keyDown) text(session, event.text);
            return;
    }
}

void MutterInputEmitter::mouse(MutterRemoteSession& session, const CaptureDisplay& display,
                               const InputEvent& event) {
    const int button = event.button == InputEvent::Button::right ? MutterRemoteSession::kRightButton
                                                                 : MutterRemoteSession::kLeftButton;
    const bool press =
        event.mouseType == MouseType::leftDown || event.mouseType == MouseType::rightDown;
    const bool release =
        event.mouseType == MouseType::leftUp || event.mouseType == MouseType::rightUp;
    const bool drag =
        event.mouseType == MouseType::leftDragged || event.mouseType == MouseType::rightDragged;
    const std::vector<Keysym> modifiers =
        pressMissingModifiers(session, press || drag ? event.flags : std::nullopt);
    // The stream's own pixels: the monitor's position on the desktop taken off.
    session.pointerMotion(event.x - display.x, event.y - display.y);
    if (press || release) session.pointerButton(button, press);
    for (Keysym modifier : modifiers) session.key(modifier, false);
}

void MutterInputEmitter::key(MutterRemoteSession& session, const InputEvent& event) {
    lastTypedCarriageReturn_ = false;
    const Keysym keysym = macKeyToKeysym(event.keyCode);
    if (keysym == kNoSymbol) return;
    const bool modifierKey = isMacModifierKey(event.keyCode);
    if (!event.keyDown) {
        if (modifierKey) heldModifiers_.erase(keysym);
        return session.key(keysym, false);
    }
    // Pressing a modifier key changes the modifiers itself; wrapping it would release it.
    const std::vector<Keysym> modifiers =
        pressMissingModifiers(session, modifierKey ? std::nullopt : event.flags);
    session.key(keysym, true);
    if (modifierKey) heldModifiers_.insert(keysym);
    for (Keysym modifier : modifiers) session.key(modifier, false);
}

void MutterInputEmitter::text(MutterRemoteSession& session, const std::u16string& chunk) {
    std::u32string withoutKey;  // pasted together, before the next key
    for (char32_t scalar : utf16Scalars(chunk)) {
        const Keysym keysym = characterKeysym(scalar);
        const bool sameLineBreak = scalar == U'\n' && lastTypedCarriageReturn_;
        lastTypedCarriageReturn_ = scalar == U'\r';
        if (sameLineBreak || keysym == kNoSymbol) continue;
        if (!typedByKey(keysym)) {
            withoutKey.push_back(scalar);
            continue;
        }
        paste(session, withoutKey);
        tap(session, keysym);
    }
    paste(session, withoutKey);
}

// Pastes `scalars` with Control-V and empties it. Without the session's clipboard (or when
// the clipboard's content could not be given back) they go as keysyms, which the compositor
// types where its layout has a key for them.
void MutterInputEmitter::paste(MutterRemoteSession& session, std::u32string& scalars) {
    if (scalars.empty()) return;
    auto clipboard = session.clipboard();
    const bool pasted = clipboard && clipboard->paste(utf8(scalars), [&session] {
        session.key(XK_Control_L, true);
        tap(session, XK_v);
        session.key(XK_Control_L, false);
    });
    if (!pasted) {
        for (char32_t scalar : scalars) tap(session, characterKeysym(scalar));
    }
    scalars.clear();
}

std::vector<Keysym> MutterInputEmitter::pressMissingModifiers(MutterRemoteSession& session,
                                                              std::optional<uint64_t> flags) {
    std::vector<Keysym> pressed;
    for (Keysym modifier : modifierKeysyms(flags.value_or(0))) {
        if (heldModifiers_.contains(modifier)) continue;
        session.key(modifier, true);
        pressed.push_back(modifier);
    }
    return pressed;
}

}  // namespace caldrovex::platform
