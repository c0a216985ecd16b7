#pragma once

#include <memory>
#include <optional>
#include <string>

namespace caldrovex {

// The desktop's clipboard, plain text only. Used by the session on the main queue (the
// clipboard of the window system belongs to the main thread).
//
// Implementations: platform::QtClipboard; tests use a fake.
class Clipboard {
public:
    virtual ~Clipboard() = default;

    // The clipboard's plain text, nullopt when it holds none.
    virtual std::optional<std::string> text() = 0;
    // Replaces the clipboard's content with `text`.
    virtual void setText(const std::string& text) = 0;

    // Why the desktop's clipboard cannot be shared now, as a sentence the device's user can
    // act on; nullopt when it can. While it cannot, the session tells the device instead of
    // moving text.
    virtual std::optional<std::string> unavailable() { return std::nullopt; }
};

using ClipboardPtr = std::shared_ptr<Clipboard>;

}  // namespace caldrovex
