#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "trust/SecureStore.h"
#include "trust/TrustedDevice.h"

namespace caldrovex {

// The host's list of paired devices and the only judge of whether a returning device may
// connect. The list lives in one keyring item ("host-devices-" + host identifier) as a JSON
// array; devices hold their own tokens and the registry keeps only their hashes, so a copy
// of the list does not let anyone connect.
//
// Invariant: `devices()` always equals what the keyring last accepted. A change is applied
// to memory only after the keyring write succeeded; a failure changes nothing.
//
// Not thread-safe: created, used and destroyed on the host controller's main queue. Keyring
// calls block that queue briefly. The store's backend and the clock are shared.
class DeviceRegistry {
public:
    // A host serves a handful of phones and tablets; the cap keeps the keyring item and the
    // panel's list small and bounds what a leaked invitation could add.
    static constexpr size_t kDeviceLimit = 50;
    // Display names are cut to this many user-perceived characters.
    static constexpr size_t kNameLimit = 80;

    // Reads the stored list with `allowCredentialInteraction` deciding whether the keyring
    // may prompt. No item gives an empty list. Throws the storage error when the keyring
    // fails, and a CaldrovexError when the stored list cannot be decoded; nothing is
    // repaired or overwritten in either case.
    DeviceRegistry(SecureStore store, platform::ClockPtr clock, const std::string& hostID,
                   bool allowCredentialInteraction);

    // Pairs (or re-pairs, moving it to the end) the device with this id, stamped with the
    // clock's wall time. Throws the device-limit error when 50 other devices are trusted,
    // or whatever the keyring write throws.
    void add(const std::string& id, const std::string& name, const std::string& token);

    // True when a device with this id is trusted and `token` hashes to its stored hash
    // (compared in constant time). No counters or lock-out here: the caller rate-limits.
    bool accepts(const std::string& id, const std::string& token) const;

    // Removes the device with this id; writes the list even when no device had it.
    void revoke(const std::string& id);

    // Oldest pairing first; ids are unique.
    const std::vector<TrustedDevice>& devices() const { return devices_; }
    const std::string& account() const { return account_; }

private:
    void commit(std::vector<TrustedDevice> next);

    SecureStore store_;
    platform::ClockPtr clock_;
    std::string account_;
    std::vector<TrustedDevice> devices_;
};

}  // namespace caldrovex
