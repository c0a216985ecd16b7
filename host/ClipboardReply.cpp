#include "host/ClipboardReply.h"

#include "protocol/UnicodeText.h"

namespace caldrovex {

ControlMessage ClipboardReply::make(const std::string& clipboardText) {
    auto message = ControlMessage::make("clipboard");
    std::string text = UnicodeText::prefixWithinBytes(clipboardText, kMaxBytes);
    while (true) {
        message.text = text;
        if (text.empty() || message.encode().size() <= kMaxBytes) return message;
        text = UnicodeText::prefixWithinBytes(text, text.size() * 3 / 4);
    }
}

}  // namespace caldrovex
