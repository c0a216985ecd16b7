#include "trust/SecureStore.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "trust/Digest.h"

namespace caldrovex {

namespace {

// 256 bits of randomness: far beyond guessing, and 43 characters once encoded.
constexpr size_t kTokenBytes = 32;

CaldrovexError errorFor(const SecretBackend::Failure& failure) {
    switch (failure.kind) {
        case SecretBackend::Failure::Kind::noSessionBus:
            return CaldrovexError(SecureStore::kNoSessionBusMessage);
        case SecretBackend::Failure::Kind::noService:
            return CaldrovexError(SecureStore::kNoSecretServiceMessage);
        case SecretBackend::Failure::Kind::storage:
            break;
    }
    return SecureStore::storageError(failure.status);
}

}  // namespace

SecureStore::SecureStore(std::shared_ptr<SecretBackend> backend) : backend_(std::move(backend)) {
    if (!backend_) throw std::invalid_argument("SecureStore needs a backend");
}

std::optional<std::string> SecureStore::read(const std::string& account,
                                             bool allowInteraction) const {
    try {
        return backend_->read(account, allowInteraction);
    } catch (const SecretBackend::Failure& failure) {
        throw errorFor(failure);
    }
}

void SecureStore::write(const std::string& data, const std::string& account) const {
    try {
        backend_->write(account, data);
    } catch (const SecretBackend::Failure& failure) {
        throw errorFor(failure);
    }
}

std::string SecureStore::randomToken() {
    std::array<unsigned char, kTokenBytes> bytes{};
    const int status = RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
    if (status != 1) throw storageError(status);

    // Standard Base64 of 32 bytes is 44 characters ending in one "="; the buffer also takes
    // the terminator EVP_EncodeBlock writes.
    std::array<unsigned char, 4 * ((kTokenBytes + 2) / 3) + 1> encoded{};
    const int length =
        EVP_EncodeBlock(encoded.data(), bytes.data(), static_cast<int>(bytes.size()));
    std::string token(reinterpret_cast<const char*>(encoded.data()), static_cast<size_t>(length));
    std::replace(token.begin(), token.end(), '+', '-');
    std::replace(token.begin(), token.end(), '/', '_');
    std::erase(token, '=');
    return token;
}

std::string SecureStore::hash(std::string_view data) {
    return Digest::sha256Hex(data);
}

bool SecureStore::constantTimeEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

CaldrovexError SecureStore::storageError(int status) {
    return CaldrovexError("Secure credential storage is unavailable (" + std::to_string(status) +
                          "). Unlock your device or login keyring and try again.");
}

}  // namespace caldrovex
