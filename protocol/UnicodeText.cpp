#include "protocol/UnicodeText.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

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

}  // namespace

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
