#pragma once

#include <cstdint>
#include <optional>
#include <set>

#include "platform/CaldrovexError.h"

namespace caldrovex {

// The curtain that dims this computer's screens while a paired device uses it: one
// near-black window per screen, exactly covering it, above every other window, letting every
// click through to what lies below, with a short message in its middle. The device must never
// see it: the host controller prepares the windows, has the capture leave `windowIDs` out,
// and only once the capture confirmed that does it reveal them.
//
// Contract: made, used and destroyed on the main queue. Where the curtain cannot work
// (`unavailable`), every call does nothing and `windowIDs` is empty, so nothing ever shows on
// the local screen.
class PrivacyCurtain {
public:
    virtual ~PrivacyCurtain() = default;

    // Why the curtain cannot be shown here, as a sentence for the user (a Wayland session, an
    // X display without the extensions it needs); nullopt when it can.
    virtual std::optional<CaldrovexError> unavailable() const = 0;

    // Makes sure there is exactly one window per current screen, covering it. New windows
    // stay invisible; a window already shown stays shown; windows of screens that went away
    // or changed size are hidden and dropped.
    virtual void prepare() = 0;

    // The windows' ids (X11 window ids), for the capture to leave out.
    virtual std::set<uint32_t> windowIDs() const = 0;

    // Fades every window in over `kFadeSeconds`, on top of every other window.
    virtual void reveal() = 0;

    // Hides every window at once (taken off the screen, opacity 0); they are kept for reuse.
    virtual void hide() = 0;

    static constexpr double kFadeSeconds = 0.4;
};

}  // namespace caldrovex
