#pragma once

#include <cstddef>
#include <string>

#include "protocol/ControlMessage.h"

namespace caldrovex {

// The "clipboard" message that carries the desktop's clipboard to a device. It must stay well
// under the control packet limit, so the text is cut at a character boundary: first to the
// byte budget, then, while the encoded message is still too long, by a quarter of its UTF-8
// length at a time (JSON escapes can make the message much longer than the text).
class ClipboardReply {
public:
    ClipboardReply() = delete;

    // Budget of the encoded message, and of the text before encoding, in bytes.
    static constexpr size_t kMaxBytes = 60'000;

    static ControlMessage make(const std::string& clipboardText);
};

}  // namespace caldrovex
