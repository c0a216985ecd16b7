#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "protocol/Base64.h"

using caldrovex::Base64;

TEST(Base64, KnownVectors) {
    // RFC 4648 section 10.
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (auto [plain, encoded] : vectors) {
        std::vector<uint8_t> bytes(plain, plain + std::char_traits<char>::length(plain));
        EXPECT_EQ(Base64::encode(bytes), encoded);
        EXPECT_EQ(Base64::decode(encoded), bytes) << encoded;
    }
}

TEST(Base64, EveryLengthAndByteValueRoundTrips) {
    std::vector<uint8_t> bytes;
    for (int length = 0; length < 300; ++length) {
        EXPECT_EQ(Base64::decode(Base64::encode(bytes)), bytes) << length;
        bytes.push_back(static_cast<uint8_t>(255 - length));
    }
}

TEST(Base64, RejectsAnythingButTheStrictForm) {
    for (const char* text :
         {"Zg", "Zg=", "Zg===", "Z===", "====", "Zm9", "Zm9v\n", " Zm9v", "Zm9v ", "Zm 9v", "Zm9_",
          "Zm9-", "Z=9v", "=Zm9", "Zg==Zg==", "Zm9v*A=="}) {
        EXPECT_FALSE(Base64::decode(text)) << '"' << text << '"';
    }
}
