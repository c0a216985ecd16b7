#pragma once

#include <optional>
#include <string>

#include "adapters/x11/DisplaySession.h"
#include "host/PermissionProbe.h"

namespace caldrovex::platform {

// The X11 answers to the host's permission questions. There is no permission dialog on X11:
// what can fail is the display itself, so
//  - screen recording is possible when the display opens and a shared-memory image can be
//    attached (the capture path's fast grab; it fails on remote displays and in sandboxes);
//  - event injection is possible when the display offers the XTEST extension.
//
// In a Wayland session, or without any display, both answers are no, and the problem says
// which (DisplaySession).
//
// Each question opens its own short-lived display connection, so a display that went away
// turns the answer false instead of taking the process down. Called on the main queue; the
// calls are independent, so any thread will do.
class X11PermissionProbe final : public PermissionProbe {
public:
    explicit X11PermissionProbe(DisplaySession session = DisplaySession::current());

    bool screenRecording() override;
    bool accessibility() override;
    std::optional<std::string> screenRecordingProblem() override;

private:
    DisplaySession session_;
};

}  // namespace caldrovex::platform
