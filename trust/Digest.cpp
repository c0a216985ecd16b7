#include "trust/Digest.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <stdexcept>

namespace caldrovex {

namespace {

using Sha256 = std::array<unsigned char, 32>;

// OpenSSL reports failure of these one-shot calls only on allocation failure or a broken
// provider set-up; neither is a condition the callers could handle, so it is a fault.
[[noreturn]] void digestFault(const char* what) {
    throw std::logic_error(std::string("OpenSSL ") + what + " failed");
}

}  // namespace

std::string Digest::hex(const unsigned char* bytes, size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(count * 2, '0');
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return text;
}

std::string Digest::sha256Hex(std::string_view data) {
    Sha256 digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        digestFault("SHA-256");
    }
    return hex(digest.data(), digest.size());
}

std::string Digest::hmacSha256Hex(std::string_view key, std::string_view message) {
    // An empty view may carry a null pointer, which HMAC() takes as "reuse the previous key"
    // rather than "empty key"; point it at a real (unread) byte instead.
    static const unsigned char none = 0;
    const void* keyBytes = key.empty() ? &none : static_cast<const void*>(key.data());
    const unsigned char* messageBytes =
        message.empty() ? &none : reinterpret_cast<const unsigned char*>(message.data());
    Sha256 mac{};
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()), messageBytes, message.size(),
             mac.data(), &length) == nullptr ||
        length != mac.size()) {
        digestFault("HMAC-SHA-256");
    }
    return hex(mac.data(), mac.size());
}

}  // namespace caldrovex
