#pragma once

#include <QString>

namespace caldrovex::platform {

// The panel's words that depend on the desktop session's back ends: what each permission row
// checks and what to do where it fails (nothing can be granted on either session, so the
// advice replaces an "Allow" button), the note under remote control, and why the curtain
// cannot work where it cannot.
struct SessionTexts {
    QString screenTitle;
    QString screenAdvice;
    QString inputTitle;
    QString inputAdvice;
    QString controlNote;
    // Empty where the curtain works; else the sentence shown in place of its note, with the
    // switch disabled.
    QString curtainUnavailable;

    static SessionTexts x11();
    static SessionTexts gnomeWayland();
};

}  // namespace caldrovex::platform
