#pragma once

#include "host/Clipboard.h"

namespace caldrovex::platform {

// The desktop clipboard through Qt (the CLIPBOARD selection on X11). Needs a
// QGuiApplication; used on its thread (the main queue). Qt serves the text to other
// applications from the event loop, so the loop must keep running after `setText`.
class QtClipboard final : public Clipboard {
public:
    std::optional<std::string> text() override;
    void setText(const std::string& text) override;
};

}  // namespace caldrovex::platform
