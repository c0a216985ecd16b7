#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/CaldrovexError.h"
#include "trust/SecretBackend.h"

namespace caldrovex {

// The one place where secrets are kept, made and compared.
//
// An instance is a thin handle on a SecretBackend (the keyring in the host, memory in tests)
// and is copied freely into the components that need it; it keeps no state of its own. The
// backend is shared by all copies and must outlive none of them in particular (shared
// ownership). `read` and `write` block the calling thread; all operations may be called from
// any thread.
//
// Every failure is a CaldrovexError: the storage message, which quotes a status number, or,
// when the keyring's service cannot be reached at all, a sentence that says so.
class SecureStore {
public:
    // The service attribute that every item carries; the account tells items apart.
    static constexpr const char* kService = "com.hadrelonix.caldrovex.credentials";

    explicit SecureStore(std::shared_ptr<SecretBackend> backend);

    // The bytes stored for `account`, or no value when no item exists (not an error). With
    // `allowInteraction` false a keyring that would need the user fails instead of prompting.
    std::optional<std::string> read(const std::string& account, bool allowInteraction) const;

    // Creates or replaces the item for `account`. A failed write leaves the old item intact.
    void write(const std::string& data, const std::string& account) const;

    // 32 random bytes as unpadded URL-safe Base64: 43 characters of [A-Za-z0-9_-].
    static std::string randomToken();

    // SHA-256 of the bytes as 64 lower-case hexadecimal digits. Texts are hashed as UTF-8.
    static std::string hash(std::string_view data);

    // Equality of two byte strings whose running time does not depend on where they differ.
    // Only the length is not hidden.
    static bool constantTimeEqual(std::string_view a, std::string_view b);

    // "Secure credential storage is unavailable (<status>). Unlock …": the one message for
    // every failure of the keyring or the random source.
    static CaldrovexError storageError(int status);

    static constexpr const char* kNoSessionBusMessage =
        "There is no D-Bus session bus, so the keyring cannot be reached. Run the host inside "
        "your desktop session.";
    static constexpr const char* kNoSecretServiceMessage =
        "No Secret Service on the session bus, so the keyring cannot be reached. Start your "
        "desktop's keyring (such as GNOME Keyring); the host tries again on its own.";

private:
    std::shared_ptr<SecretBackend> backend_;
};

}  // namespace caldrovex
