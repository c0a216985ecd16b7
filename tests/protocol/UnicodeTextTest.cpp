#include "protocol/UnicodeText.h"

#include <gtest/gtest.h>

namespace caldrovex {
namespace {

// "e" + combining acute accent is one character of 3 bytes; the family emoji is one
// character of 25 bytes (four people joined by zero-width joiners).
const std::string kAccented = "e\xCC\x81";
const std::string kFamily =
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F"
    "\x91\xA6";

TEST(UnicodeTextTest, FirstCharactersCountsWholeCharacters) {
    struct Case {
        std::string text;
        size_t limit;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", 2, "ab"},
        {"abc", 5, "abc"},
        {kAccented + "x", 1, kAccented},
        {kFamily + kFamily, 1, kFamily},
        {"", 3, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UnicodeText::firstCharacters(c.text, c.limit), c.expected);
}

TEST(UnicodeTextTest, PrefixWithinBytesNeverSplitsACharacter) {
    struct Case {
        std::string text;
        size_t maxBytes;
        std::string expected;
    };
    const Case cases[] = {
        {"abcdef", 4, "abcd"},
        {"abc", 3, "abc"},
        {"abc", 10, "abc"},
        {"a" + kAccented, 2, "a"},
        {"a" + kAccented, 4, "a" + kAccented},
        {kFamily + kFamily, 49, kFamily},
        {kFamily, 24, ""},
        {"\xC3\xA9\xC3\xA9", 3, "\xC3\xA9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UnicodeText::prefixWithinBytes(c.text, c.maxBytes), c.expected)
            << c.text.size() << " bytes cut to " << c.maxBytes;
}

TEST(UnicodeTextTest, PrintableReplacesControlsBidiControlsAndMalformedBytes) {
    struct Case {
        const char* note;
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"plain text stays", "Ada's Phone", "Ada's Phone"},
        {"letters, accents and emoji stay", "Zo\xC3\xAB " + kAccented + kFamily,
         "Zo\xC3\xAB " + kAccented + kFamily},
        {"line ends, escape and DEL", "a\nb\r\x1B[2Jc\x7F", "a?b??[2Jc?"},
        {"a C1 control (CSI)", "x\xC2\x9By", "x?y"},
        {"right-to-left override", "evil\xE2\x80\xAEgnp.exe", "evil?gnp.exe"},
        {"every bidi control",
         "\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD\xE2\x80\xAE"
         "\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9"
         "\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C",
         "????????????"},
        {"a zero-width joiner is not a control", "\xE2\x80\x8D", "\xE2\x80\x8D"},
        {"malformed UTF-8",
         "a\xFF\xC3"
         "b\xE2\x80",
         "a??b?"},
        {"nothing", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(UnicodeText::printable(c.text), c.expected) << c.note;
}

}  // namespace
}  // namespace caldrovex
