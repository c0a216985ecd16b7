#include "host/ClipboardReply.h"

#include <gtest/gtest.h>

namespace caldrovex {
namespace {

TEST(ClipboardReplyTest, LongAsciiIsCutToTheBudgetThenShrunkForTheEnvelope) {
    // 60,000 letters fit the text budget, but not with the JSON around them: one round
    // takes three quarters.
    const auto message = ClipboardReply::make(std::string(200'000, 'a'));
    EXPECT_EQ(message.text->size(), 45'000u);
    EXPECT_LE(message.encode().size(), ClipboardReply::kMaxBytes);
}

TEST(ClipboardReplyTest, ShortTextGoesWhole) {
    const auto message = ClipboardReply::make("hello");
    EXPECT_EQ(message.type, "clipboard");
    EXPECT_EQ(message.text, "hello");
}

TEST(ClipboardReplyTest, EmptyClipboardSendsEmptyText) {
    EXPECT_EQ(ClipboardReply::make("").text, "");
}

TEST(ClipboardReplyTest, EscapedTextShrinksUntilTheMessageFits) {
    // Each control character becomes six bytes of JSON, so several rounds are needed.
    const auto message = ClipboardReply::make(std::string(50'000, '\x01'));
    EXPECT_LE(message.encode().size(), ClipboardReply::kMaxBytes);
    EXPECT_GT(message.text->size(), ClipboardReply::kMaxBytes / 6 * 3 / 4);
}

TEST(ClipboardReplyTest, EmojiAreNeverSplit) {
    const std::string smile = "\xF0\x9F\x98\x80";  // 4 bytes
    std::string text;
    for (int i = 0; i < 20'000; ++i) text += smile;
    const auto message = ClipboardReply::make(text);
    ASSERT_LE(message.encode().size(), ClipboardReply::kMaxBytes);
    EXPECT_EQ(message.text->size() % 4, 0u);
    EXPECT_EQ(message.text->size(), 60'000u * 3 / 4);
}

}  // namespace
}  // namespace caldrovex
