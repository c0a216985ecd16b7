#include "trust/Uuid.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <random>

namespace caldrovex {
namespace {

constexpr size_t kTextLength = 36;

bool isHyphenPosition(size_t index) {
    return index == 8 || index == 13 || index == 18 || index == 23;
}

}  // namespace

std::string Uuid::makeUpper() {
    // The kernel's random source: identifiers must be unique, not secret.
    std::random_device source;
    std::array<unsigned char, 16> bytes{};
    for (size_t i = 0; i < bytes.size(); i += 4) {
        const uint32_t word = source();
        for (size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<unsigned char>(word >> (8 * j));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant

    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(kTextLength);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0f];
    }
    return text;
}

bool Uuid::isValid(std::string_view text) {
    if (text.size() != kTextLength) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (isHyphenPosition(i) ? c != '-' : !std::isxdigit(c)) return false;
    }
    return true;
}

}  // namespace caldrovex
