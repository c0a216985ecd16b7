#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/net/Parameters.h"

namespace caldrovex {

// What the identity needs from the keyring: one secret, read and written by account name.
// The secure store provides both; tests pass an in-memory map.
struct IdentityPasswordStore {
    // The stored bytes for `account`, or nullopt when no item exists. `allowInteraction`
    // false must fail instead of prompting. Throws CaldrovexError (the storage message) on
    // any other failure.
    std::function<std::optional<std::string>(const std::string& account, bool allowInteraction)>
        readPassword;
    // Creates or replaces the item for `account`. Throws CaldrovexError on failure.
    std::function<void(const std::string& account, const std::string& value)> writePassword;
};

// The host's stable identifier and the TLS identity its listeners present. Devices pin the
// certificate's SHA-256 hash from the pairing invitation; the identifier names the keyring
// accounts of the host's secrets.
//
// The identity is made once per data folder, with the OpenSSL library, and kept there as a
// password-protected PKCS#12 file ("host-identity.p12", 0600) whose password lies in the
// keyring under "identity-password-" + hostID. The identifier lies beside it in "host-id".
// Later constructions only load them. A new bundle reaches the data folder only by a rename
// from a private working folder, so no failure leaves a half-made bundle behind.
//
// Construction runs synchronously on the caller's thread (the host controller's main queue)
// and may block for the key generation and the keyring. The object is immutable afterwards
// and may be read from any thread.
class HostIdentity {
public:
    // Loads the identity from `directory`, making what is missing. `allowCredentialInteraction`
    // is handed to the keyring read: false at automatic start, true when the user asks to
    // retry. `passwords` is used only during construction.
    //
    // Throws CaldrovexError with the sentences below, or passes through the keyring's storage
    // message and the system's std::filesystem_error / std::system_error for folder creation,
    // permission changes, moves and file reads.
    HostIdentity(const std::filesystem::path& directory, const IdentityPasswordStore& passwords,
                 bool allowCredentialInteraction);

    // A UUID in its 36-character text form, exactly as stored (either case).
    const std::string& hostID() const { return hostID_; }
    // Lower-case hexadecimal SHA-256 of the certificate's DER bytes (64 digits).
    const std::string& certificateHash() const { return certificateHash_; }
    // The private key and certificate for the TLS listeners, in memory.
    const platform::net::TlsServerIdentity& identity() const { return identity_; }

    // The keyring account that holds the bundle's password.
    static std::string passwordAccount(const std::string& hostID);

    static constexpr const char* kHostIdFile = "host-id";
    static constexpr const char* kBundleFile = "host-identity.p12";
    static constexpr const char* kPasswordMissingMessage =
        "This host's identity password is missing from the keyring. Restore the original "
        "keyring before reconnecting your paired devices.";

private:
    std::string hostID_;
    std::string certificateHash_;
    platform::net::TlsServerIdentity identity_;
};

}  // namespace caldrovex
