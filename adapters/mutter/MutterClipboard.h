#pragma once

#include <memory>

#include "adapters/mutter/MutterDesktop.h"
#include "host/Clipboard.h"

namespace caldrovex::platform {

// The desktop clipboard of a GNOME Wayland session, through the remote-desktop session of the
// running stream (MutterSessionClipboard). A compositor too old to share its clipboard with
// remote sessions makes the clipboard unavailable, with a sentence saying what to do; without
// a running stream there is no clipboard to reach, and nothing to read.
//
// Used on the main queue. A read waits for the owning application's text for at most
// MutterSessionClipboard::kTransferTimeoutMs.
class MutterClipboard final : public Clipboard {
public:
    static constexpr const char* kUnavailable =
        "This computer's version of GNOME does not share its clipboard with remote sessions. "
        "Update GNOME on this computer to copy and paste between it and your device.";

    explicit MutterClipboard(std::shared_ptr<MutterDesktop> desktop);

    std::optional<std::string> text() override;
    void setText(const std::string& text) override;
    std::optional<std::string> unavailable() override;

private:
    std::shared_ptr<MutterDesktop> desktop_;
};

}  // namespace caldrovex::platform
