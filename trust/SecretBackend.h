#pragma once

#include <exception>
#include <optional>
#include <string>

namespace caldrovex {

// Where the secure store keeps its items: the user's keyring in the host, memory in tests.
// Every item is addressed by its account name alone; the backend adds the fixed service name.
//
// Backends are called from any thread and must be safe for that; calls block the caller.
// Their failures carry only a status number: the user-facing sentence is the store's concern.
class SecretBackend {
public:
    // A read or write that could not be carried out. `status` is a backend-specific number
    // that ends up in the storage message so that a report can tell causes apart.
    struct Failure : std::exception {
        // What the user has to mend: the keyring itself (locked, refusing, failing: `storage`),
        // or the way to it, when the desktop session has no message bus or no keyring service
        // on it, which no unlocking helps.
        enum class Kind { storage, noSessionBus, noService };

        explicit Failure(int status, Kind kind = Kind::storage) : status(status), kind(kind) {}
        const char* what() const noexcept override { return "secret backend failure"; }
        int status;
        Kind kind;
    };

    virtual ~SecretBackend() = default;

    // The stored bytes, or no value when the backend is certain that nothing is stored for
    // the account. Anything short of that certainty (a locked or unreachable keyring) throws
    // Failure: callers treat "no value" as "never written" and would otherwise replace secrets
    // that still exist. Without `allowPrompt` the backend never asks the user anything.
    virtual std::optional<std::string> read(const std::string& account, bool allowPrompt) = 0;

    // Creates or replaces the item for the account. On failure (Failure thrown) the previous
    // item is left as it was. Never prompts.
    virtual void write(const std::string& account, const std::string& value) = 0;
};

}  // namespace caldrovex
