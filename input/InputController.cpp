#include "input/InputController.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace caldrovex {

namespace {

using MouseType = InputEvent::MouseType;
using Button = InputEvent::Button;

// UTF-8 → UTF-16, strictly: overlong forms, surrogate code points and values past U+10FFFF
// make the whole text unusable rather than being typed as something else.
std::optional<std::u16string> utf16FromUtf8(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length;
        char32_t scalar;
        if (lead < 0x80) {
            length = 1;
            scalar = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            scalar = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            scalar = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            scalar = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (text.size() - i < static_cast<size_t>(length)) {
            return std::nullopt;
        }
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            scalar = (scalar << 6) | (next & 0x3F);
        }
        const bool overlong = (length == 3 && scalar < 0x800) || (length == 4 && scalar < 0x10000);
        if (overlong || (scalar >= 0xD800 && scalar <= 0xDFFF) || scalar > 0x10FFFF) {
            return std::nullopt;
        }
        if (scalar >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((scalar - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((scalar - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(scalar));
        }
        i += length;
    }
    return out;
}

// Cuts well-formed UTF-16 into chunks of at most `limit` units, keeping each surrogate pair
// in one chunk.
std::vector<std::u16string> chunks(const std::u16string& text, size_t limit) {
    std::vector<std::u16string> out;
    std::u16string current;
    for (size_t i = 0; i < text.size();) {
        const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size();
        const size_t units = pair ? 2 : 1;
        if (current.size() + units > limit) {
            out.push_back(std::move(current));
            current.clear();
        }
        current.append(text, i, units);
        i += units;
    }
    if (!current.empty()) {
        out.push_back(std::move(current));
    }
    return out;
}

bool finite(const std::optional<double>& value) {
    return value && std::isfinite(*value);
}

}  // namespace

InputController::InputController(Callbacks callbacks, platform::ClockPtr clock,
                                 uint32_t mainDisplayID)
    : displayID(mainDisplayID),
      callbacks_(std::move(callbacks)),
      clock_(std::move(clock)),
      rateWindow_(clock_->monotonic()),
      lastClickTime_(-std::numeric_limits<double>::infinity()) {}

void InputController::handle(const InputMessage& message) {
    if (!callbacks_.permission() || !admit(message)) {
        return;
    }
    updatePoint(message);
    const uint64_t flags = message.modifiers.value_or(0) & InputEvent::kModifierMask;
    const std::string event = message.event.value_or("");
    if (event == "move") {
        move(flags);
    } else if (event == "button") {
        button(message, flags);
    } else if (event == "scroll") {
        scroll(message);
    } else if (event == "key") {
        key(message, flags);
    } else if (event == "text") {
        text(message);
    }
}

// Counts the message in the current rate window and says whether it may pass. A release
// always passes so that nothing stays held however hard the device floods. Any "key" or
// "button" message that is not a press counts as a release here, exactly as it is applied
// below: one without `keyDown` releases too, and must not be the one that gets dropped.
bool InputController::admit(const InputMessage& message) {
    const double now = clock_->monotonic();
    if (now - rateWindow_ >= kRateWindowSeconds) {
        rateWindow_ = now;
        eventCount_ = 0;
    }
    eventCount_ += 1;
    if (eventCount_ <= kMessagesPerWindow) {
        return true;
    }
    const bool keyOrButton = message.event == "key" || message.event == "button";
    return keyOrButton && !message.keyDown.value_or(false);
}

// The device sends positions as fractions of the streamed display, 0 at its left and top
// edges; anything outside is pinned to the nearest edge.
void InputController::updatePoint(const InputMessage& message) {
    const DisplayRect bounds = callbacks_.displayBounds(displayID);
    if (message.event == "scroll" || !finite(message.x) || !finite(message.y)) {
        return;
    }
    pointX_ = bounds.x + std::clamp(*message.x, 0.0, 1.0) * bounds.width;
    pointY_ = bounds.y + std::clamp(*message.y, 0.0, 1.0) * bounds.height;
}

void InputController::move(uint64_t flags) {
    const bool left = heldButtons_.contains(0);
    const bool right = heldButtons_.contains(1);
    const MouseType type = left    ? MouseType::leftDragged
                           : right ? MouseType::rightDragged
                                   : MouseType::moved;
    const Button button = right ? Button::right : Button::left;
    callbacks_.emit(InputEvent::mouse(type, button, pointX_, pointY_, 0, flags));
}

void InputController::button(const InputMessage& message, uint64_t flags) {
    const bool right = message.button == 1;
    const int number = right ? 1 : 0;
    MouseType type;
    if (message.keyDown.value_or(false)) {
        if (right) {
            type = MouseType::rightDown;
        } else {
            const double now = clock_->monotonic();
            const double distance = std::hypot(pointX_ - lastClickX_, pointY_ - lastClickY_);
            if (now - lastClickTime_ < kDoubleClickSeconds && distance < kDoubleClickDistance) {
                clickCount_ = std::min(clickCount_ + 1, kHighestClickCount);
            } else {
                clickCount_ = 1;
            }
            lastClickTime_ = now;
            lastClickX_ = pointX_;
            lastClickY_ = pointY_;
            type = MouseType::leftDown;
        }
        heldButtons_.insert(number);
    } else {
        heldButtons_.erase(number);
        type = right ? MouseType::rightUp : MouseType::leftUp;
    }
    // The release of a double click carries 2 as well, as a real mouse's would.
    const int64_t clickState = right ? 1 : clickCount_;
    callbacks_.emit(InputEvent::mouse(type, right ? Button::right : Button::left, pointX_, pointY_,
                                      clickState, flags));
}

void InputController::scroll(const InputMessage& message) {
    if (!finite(message.x) || !finite(message.y)) {
        return;
    }
    const auto vertical = static_cast<int32_t>(std::clamp(*message.y, -kScrollClamp, kScrollClamp));
    const auto horizontal =
        static_cast<int32_t>(std::clamp(*message.x, -kScrollClamp, kScrollClamp));
    callbacks_.emit(InputEvent::scroll(vertical, horizontal));
}

void InputController::key(const InputMessage& message, uint64_t flags) {
    if (!message.keyCode || *message.keyCode > kHighestKeyCode) {
        return;
    }
    const bool down = message.keyDown.value_or(false);
    if (down) {
        heldKeys_.insert(*message.keyCode);
    } else {
        heldKeys_.erase(*message.keyCode);
    }
    callbacks_.emit(InputEvent::key(*message.keyCode, down, flags));
}

void InputController::text(const InputMessage& message) {
    if (!message.text || message.text->empty()) {
        return;
    }
    const std::optional<std::u16string> units = utf16FromUtf8(*message.text);
    if (!units || units->size() > kLongestTextUnits) {
        return;
    }
    for (const std::u16string& chunk : chunks(*units, kTextChunkUnits)) {
        callbacks_.emit(InputEvent::typed(chunk, true));
        callbacks_.emit(InputEvent::typed(chunk, false));
    }
}

void InputController::releaseAll() {
    // Forget first, so that the sets are empty even if delivering a release re-enters.
    const std::set<uint16_t> keys = std::exchange(heldKeys_, {});
    const std::set<int> buttons = std::exchange(heldButtons_, {});
    for (const uint16_t code : keys) {
        callbacks_.emit(InputEvent::key(code, false, std::nullopt));
    }
    for (const int number : buttons) {
        const bool right = number == 1;
        callbacks_.emit(InputEvent::mouse(right ? MouseType::rightUp : MouseType::leftUp,
                                          right ? Button::right : Button::left, pointX_, pointY_, 0,
                                          std::nullopt));
    }
}

}  // namespace caldrovex
