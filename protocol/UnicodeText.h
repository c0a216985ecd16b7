#pragma once

#include <cstddef>
#include <string>

namespace caldrovex {

// Cuts of UTF-8 text that never split a user-perceived character (an extended grapheme
// cluster: a letter with its accents, an emoji sequence, a flag), so that text cut to fit a
// field or a packet still reads as what the user typed.
//
// The text should be valid UTF-8; should ICU fail to segment it, cuts fall back to code
// point boundaries. Pure functions, any thread.
class UnicodeText {
public:
    UnicodeText() = delete;

    // The first `limit` characters of `text` (all of it when shorter).
    static std::string firstCharacters(const std::string& text, size_t limit);
    // The longest prefix of whole characters whose UTF-8 form is at most `maxBytes` long.
    static std::string prefixWithinBytes(const std::string& text, size_t maxBytes);
};

}  // namespace caldrovex
