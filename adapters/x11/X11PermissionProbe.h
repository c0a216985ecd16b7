#pragma once

#include <optional>
#include <string>

#include "host/PermissionProbe.h"

namespace caldrovex::platform {

// The X11 answers to the host's permission questions. There is no permission dialog on X11:
// what can fail is the display itself, so
//  - screen recording is possible when the display opens and a shared-memory image can be
//    attached (the capture path's fast grab; it fails on remote displays and in sandboxes);
//  - event injection is possible when the display offers the XTEST extension.
//
// Each question opens its own short-lived display connection, so a display that went away
// turns the answer false instead of taking the process down. Called on the main queue; the
// calls are independent, so any thread will do.
class X11PermissionProbe final : public PermissionProbe {
public:
    // `display`: an X display name; nullopt means $DISPLAY.
    explicit X11PermissionProbe(std::optional<std::string> display = std::nullopt);

    bool screenRecording() override;
    bool accessibility() override;

private:
    std::optional<std::string> display_;
};

}  // namespace caldrovex::platform
