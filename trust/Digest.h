#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace caldrovex {

// SHA-256 and HMAC-SHA-256 written as lower-case hexadecimal, two digits per byte, the form
// in which every digest and key of the system is stored and sent. Texts go in as their
// UTF-8 bytes, without terminator. None of these can fail.
class Digest {
public:
    static std::string sha256Hex(std::string_view data);
    static std::string hmacSha256Hex(std::string_view key, std::string_view message);
    static std::string hex(const unsigned char* bytes, size_t count);
};

}  // namespace caldrovex
