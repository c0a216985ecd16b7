#include "trust/MemorySecretBackend.h"

namespace caldrovex {

std::optional<std::string> MemorySecretBackend::read(const std::string& account, bool allowPrompt) {
    std::lock_guard lock(mutex_);
    ++reads_;
    if (readFailure_) throw Failure(*readFailure_);
    if (locked_) {
        if (!allowPrompt) throw Failure(kLockedStatus);
        ++prompts_;
        if (!unlocksWhenPrompted_) throw Failure(kLockedStatus);
        locked_ = false;
    }
    auto found = items_.find(account);
    if (found == items_.end()) return std::nullopt;
    return found->second;
}

void MemorySecretBackend::write(const std::string& account, const std::string& value) {
    std::lock_guard lock(mutex_);
    ++writes_;
    if (writeFailure_) throw Failure(*writeFailure_);
    if (locked_) throw Failure(kLockedStatus);
    items_[account] = value;
}

void MemorySecretBackend::failReads(std::optional<int> status) {
    std::lock_guard lock(mutex_);
    readFailure_ = status;
}

void MemorySecretBackend::failWrites(std::optional<int> status) {
    std::lock_guard lock(mutex_);
    writeFailure_ = status;
}

void MemorySecretBackend::lock(bool unlocksWhenPrompted) {
    std::lock_guard lock(mutex_);
    locked_ = true;
    unlocksWhenPrompted_ = unlocksWhenPrompted;
}

void MemorySecretBackend::unlock() {
    std::lock_guard lock(mutex_);
    locked_ = false;
}

void MemorySecretBackend::put(const std::string& account, const std::string& value) {
    std::lock_guard lock(mutex_);
    items_[account] = value;
}

std::optional<std::string> MemorySecretBackend::peek(const std::string& account) const {
    std::lock_guard lock(mutex_);
    auto found = items_.find(account);
    if (found == items_.end()) return std::nullopt;
    return found->second;
}

int MemorySecretBackend::readCount() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

int MemorySecretBackend::writeCount() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

int MemorySecretBackend::promptCount() const {
    std::lock_guard lock(mutex_);
    return prompts_;
}

}  // namespace caldrovex
