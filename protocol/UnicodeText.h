#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

    // Text from outside (a device's name, a message) made safe to print on a terminal or in a
    // line-based log: every control character (C0 with the line ends, DEL, C1) and every bidi
    // control (embeddings, overrides, isolates, marks), which would forge lines, send escape
    // sequences or reorder the rest of the line, becomes "?", as does each malformed UTF-8
    // sequence. Everything else is kept as it is.
    static std::string printable(std::string_view text);
};

}  // namespace caldrovex
