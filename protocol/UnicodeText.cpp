#include "protocol/UnicodeText.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace caldrovex {

namespace {

bool isContinuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Byte length of the first `limit` code points.
size_t codePointPrefix(const std::string& text, size_t limit) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!isContinuation(text[i]) && count++ == limit) return i;
    }
    return text.size();
}

// The last code point boundary at or before `maxBytes`.
size_t codePointBoundaryWithin(const std::string& text, size_t maxBytes) {
    size_t end = maxBytes;
    while (end > 0 && isContinuation(text[end])) --end;
    return end;
}

// A character break iterator over UTF-8 text; its boundaries are byte offsets.
class CharacterBreaks {
public:
    explicit CharacterBreaks(const std::string& text)
        : utext_(utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status_),
                 &utext_close),
          breaks_(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status_), &ubrk_close) {
        if (U_SUCCESS(status_)) ubrk_setUText(breaks_.get(), utext_.get(), &status_);
    }

    bool usable() const { return U_SUCCESS(status_); }
    UBreakIterator* get() const { return breaks_.get(); }

private:
    UErrorCode status_ = U_ZERO_ERROR;
    std::unique_ptr<UText, decltype(&utext_close)> utext_;
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks_;
};

bool isControlOrBidi(UChar32 c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) ||  // C0, DEL, C1
           c == 0x061C ||                           // Arabic letter mark
           c == 0x200E || c == 0x200F ||            // left-to-right and right-to-left marks
           (c >= 0x202A && c <= 0x202E) ||          // embeddings, pop, overrides
           (c >= 0x2066 && c <= 0x2069);            // isolates and their pop
}

}  // namespace

std::string UnicodeText::printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        const int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(text.data(), i, length, c);  // c < 0: a malformed sequence, skipped whole
        if (c < 0 || isControlOrBidi(c)) {
            out.push_back('?');
        } else {
            out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
        }
    }
    return out;
}

std::string UnicodeText::firstCharacters(const std::string& text, size_t limit) {
    CharacterBreaks breaks(text);
    if (!breaks.usable()) return text.substr(0, codePointPrefix(text, limit));
    int32_t boundary = ubrk_first(breaks.get());
    for (size_t counted = 0; counted < limit; ++counted) {
        boundary = ubrk_next(breaks.get());
        if (boundary == UBRK_DONE) return text;
    }
    return text.substr(0, static_cast<size_t>(boundary));
}

std::string UnicodeText::prefixWithinBytes(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    CharacterBreaks breaks(text);
    if (!breaks.usable()) return text.substr(0, codePointBoundaryWithin(text, maxBytes));
    // ICU moves an offset inside a code point back to its start before searching, so the
    // search starts at a code point boundary.
    const size_t end = codePointBoundaryWithin(text, maxBytes);
    const auto offset = static_cast<int32_t>(end);
    if (ubrk_isBoundary(breaks.get(), offset)) return text.substr(0, end);
    const int32_t boundary = ubrk_preceding(breaks.get(), offset);
    return boundary == UBRK_DONE ? std::string() : text.substr(0, static_cast<size_t>(boundary));
}

}  // namespace caldrovex
