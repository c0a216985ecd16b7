#pragma once

#include <QDBusUnixFileDescriptor>

#include <string>

namespace caldrovex::platform {

// The login manager (systemd-logind, on the system bus) as far as a session needs it:
// inhibitor locks that keep the machine from sleeping while a device watches, and whether
// this login session's screen is locked.
//
// Every call is a short blocking D-Bus call on the calling thread (the main queue). Without
// a system bus or logind the answers are the harmless ones: no lock, not locked.
class LogindSession {
public:
    // Takes an inhibitor lock on `what` (for example "sleep:idle") in block mode; the lock
    // lasts while the returned descriptor is open. An invalid descriptor when refused.
    static QDBusUnixFileDescriptor inhibit(const std::string& what, const std::string& who,
                                           const std::string& why);
    // The session's LockedHint: the session of $XDG_SESSION_ID, else the session of this
    // process. False when it cannot be told.
    static bool lockedHint();
};

}  // namespace caldrovex::platform
