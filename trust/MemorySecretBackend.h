#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "trust/SecretBackend.h"

namespace caldrovex {

// A keyring in memory, for tests. It behaves like the real one where the logic can tell the
// difference: missing accounts read as no value, a locked keyring fails reads that may not
// prompt and all writes, and a prompt either unlocks it or fails. Failures can be injected to
// check that callers change nothing when the keyring refuses. Thread-safe.
class MemorySecretBackend final : public SecretBackend {
public:
    // The status a locked keyring reports; the same number the Secret Service uses.
    static constexpr int kLockedStatus = 2;

    std::optional<std::string> read(const std::string& account, bool allowPrompt) override;
    void write(const std::string& account, const std::string& value) override;

    // Every later read (write) fails with `status` until called again with no value.
    void failReads(std::optional<int> status);
    void failWrites(std::optional<int> status);

    // Locks the keyring. A read that may prompt then "asks the user", who unlocks it when
    // `unlocksWhenPrompted`; otherwise the prompt is dismissed and the read fails.
    void lock(bool unlocksWhenPrompted);
    void unlock();

    // Direct access for test set-up and checks: no failures, lock or counting apply.
    void put(const std::string& account, const std::string& value);
    std::optional<std::string> peek(const std::string& account) const;

    int readCount() const;
    int writeCount() const;  // attempted writes, failed ones included
    int promptCount() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> items_;
    std::optional<int> readFailure_;
    std::optional<int> writeFailure_;
    bool locked_ = false;
    bool unlocksWhenPrompted_ = false;
    int reads_ = 0;
    int writes_ = 0;
    int prompts_ = 0;
};

}  // namespace caldrovex
