#pragma once

#include "host/Clipboard.h"

namespace caldrovex::platform {

// The desktop clipboard through Qt (the CLIPBOARD selection on X11), used on the main queue.
// Qt serves the text to other applications from the event loop, so the loop must keep
// running after `setText`. A process without a GUI application (no display) has no desktop
// clipboard: the text is then kept here.
class QtClipboard final : public Clipboard {
public:
    std::optional<std::string> text() override;
    void setText(const std::string& text) override;

private:
    std::optional<std::string> withoutDisplay_;
};

}  // namespace caldrovex::platform
