#include "protocol/Base64.h"

#include <openssl/evp.h>

namespace caldrovex {

namespace {

bool isAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

std::string Base64::encode(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return {};
    // Four characters per three bytes, rounded up, plus the terminating NUL OpenSSL writes.
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(written));
    return text;
}

std::optional<std::vector<uint8_t>> Base64::decode(std::string_view text) {
    if (text.empty()) return std::vector<uint8_t>{};
    if (text.size() % 4 != 0) return std::nullopt;
    // EVP_DecodeBlock skips surrounding whitespace and counts padding as zero bytes, so the
    // shape is checked here and the padding subtracted afterwards.
    size_t padding = 0;
    if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        if (!isAlphabet(text[i])) return std::nullopt;
    }
    std::vector<uint8_t> bytes(3 * (text.size() / 4));
    int decoded = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (decoded < 0 || static_cast<size_t>(decoded) != bytes.size()) return std::nullopt;
    bytes.resize(bytes.size() - padding);
    return bytes;
}

}  // namespace caldrovex
