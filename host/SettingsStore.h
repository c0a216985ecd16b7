#pragma once

#include <optional>
#include <string>

namespace caldrovex {

// The user's settings: a handful of booleans under fixed keys ("hostEnabled",
// "relayEnabled", …), and texts a user may write into the file by hand ("relayEndpoint").
// The host controller reads them at creation and on every tick and writes
// them from its setters, all on the main queue; implementations need not be thread-safe.
//
// Implementations: platform::JsonSettingsStore (a JSON file in the user's configuration
// folder) and an in-memory store for tests.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // The stored value, or nullopt when the key was never written or holds something that is
    // not a boolean (callers apply their own default then).
    virtual std::optional<bool> boolean(const std::string& key) const = 0;
    // The stored text, or nullopt when the key was never written or holds something else.
    virtual std::optional<std::string> text(const std::string& key) const = 0;

    // Records the value. Takes effect for later reads at once, even when making it durable
    // failed (the implementation reports that its own way); never throws.
    virtual void setBoolean(const std::string& key, bool value) = 0;
};

}  // namespace caldrovex
