#pragma once

#include <optional>
#include <string>

#include "trust/SecretBackend.h"

namespace caldrovex::platform {

// The user's keyring through the Secret Service (gnome-keyring, KeePassXC, …) by libsecret.
// Items carry the attributes "service" = SecureStore::kService and "account"; writes go to
// the default collection ("login") and replace the item with the same attributes.
//
// A Secret Service answers a search in a locked collection as if nothing were stored.
// Callers take "nothing stored" to mean "never written" and would mint new secrets, so this
// backend reports no value only when it can see that it is true: some matching item is
// unlocked, or nothing matches and the default collection is unlocked. A locked keyring,
// a dismissed prompt or an unreachable service is a Failure whose status is the GError
// code (2 = locked, from libsecret's error domain, also for the locks found here).
//
// Before any call the backend checks that there is a session bus with a Secret Service on it
// (running, or startable by the bus), and fails at once with the kind of failure that says
// which is missing. It never lets GDBus launch a bus of its own.
//
// Reads prompt the user to unlock only when allowed; writes never prompt and fail when the
// default collection is locked or missing. Calls block on D-Bus; any thread may call.
class LibsecretBackend final : public SecretBackend {
public:
    std::optional<std::string> read(const std::string& account, bool allowPrompt) override;
    void write(const std::string& account, const std::string& value) override;
};

}  // namespace caldrovex::platform
