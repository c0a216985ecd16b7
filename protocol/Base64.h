#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace caldrovex {

// Standard Base64 (RFC 4648 alphabet "+/", with "=" padding), as byte strings travel in
// control messages. Stateless; callable from any thread.
class Base64 {
public:
    static std::string encode(const std::vector<uint8_t>& bytes);

    // Strict: the text must be a whole number of four-character groups from the standard
    // alphabet, with "=" only as the one or two last characters. No whitespace, no line
    // breaks, no URL-safe characters. Anything else gives nullopt.
    static std::optional<std::vector<uint8_t>> decode(std::string_view text);
};

}  // namespace caldrovex
