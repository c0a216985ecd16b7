#include <gtest/gtest.h>

#include "video/H264Bitstream.h"

namespace caldrovex {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> copies(const std::vector<std::span<const uint8_t>>& units) {
    std::vector<Bytes> out;
    for (auto unit : units) {
        out.emplace_back(unit.begin(), unit.end());
    }
    return out;
}

TEST(H264BitstreamTest, SplitsAnnexBStreams) {
    struct Case {
        const char* note;
        Bytes stream;
        std::vector<Bytes> units;
    };
    const Case cases[] = {
        {"four-byte start codes",
         {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce},
         {{0x67, 0x42}, {0x68, 0xce}}},
        {"three-byte start codes",
         {0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x41, 0x9a},
         {{0x65, 0x88}, {0x41, 0x9a}}},
        {"trailing zero bytes are padding",
         {0, 0, 1, 0x06, 0x05, 0, 0, 0, 0, 1, 0x65, 0x01, 0, 0},
         {{0x06, 0x05}, {0x65, 0x01}}},
        {"emulation prevention bytes stay",
         {0, 0, 1, 0x65, 0, 0, 3, 1, 0x80},
         {{0x65, 0, 0, 3, 1, 0x80}}},
        {"empty units are skipped", {0, 0, 1, 0, 0, 1, 0x09, 0xf0}, {{0x09, 0xf0}}},
        {"no start code: nothing", {0x65, 0x88}, {}},
        {"empty stream", {}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(copies(H264Bitstream::splitAnnexB(c.stream)), c.units) << c.note;
    }
}

TEST(H264BitstreamTest, LengthPrefixedRoundTrip) {
    Bytes big(300, 0xab);
    big[0] = 0x65;
    Bytes out;
    H264Bitstream::appendLengthPrefixed(out, Bytes{0x67, 0x42});
    H264Bitstream::appendLengthPrefixed(out, big);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0, 0, 0, 2, 0x67, 0x42}));
    EXPECT_EQ(Bytes(out.begin() + 6, out.begin() + 10), (Bytes{0, 0, 1, 0x2c}));
    EXPECT_EQ(copies(H264Bitstream::splitLengthPrefixed(out)),
              (std::vector<Bytes>{{0x67, 0x42}, big}));
}

TEST(H264BitstreamTest, TruncatedLengthPrefixedUnitIsLeftOut) {
    Bytes unit = {0, 0, 0, 2, 0x41, 0x9a, 0, 0, 0, 9, 0x41};
    EXPECT_EQ(copies(H264Bitstream::splitLengthPrefixed(unit)), (std::vector<Bytes>{{0x41, 0x9a}}));
    EXPECT_TRUE(H264Bitstream::splitLengthPrefixed(Bytes{0, 0, 1}).empty());
}

TEST(H264BitstreamTest, EncodedFrameBackToAnnexBPutsParameterSetsFirst) {
    EncodedFrame frame;
    frame.keyframe = true;
    frame.parameterSets = EncodedFrame::ParameterSets{{0x67, 0x4d}, {0x68, 0xee}};
    H264Bitstream::appendLengthPrefixed(frame.data, Bytes{0x65, 0x88});
    EXPECT_EQ(H264Bitstream::toAnnexB(frame),
              (Bytes{0, 0, 0, 1, 0x67, 0x4d, 0, 0, 0, 1, 0x68, 0xee, 0, 0, 0, 1, 0x65, 0x88}));
    frame.parameterSets.reset();
    EXPECT_EQ(H264Bitstream::toAnnexB(frame), (Bytes{0, 0, 0, 1, 0x65, 0x88}));
}

TEST(H264BitstreamTest, TypeIsTheLowFiveBitsOfTheHeader) {
    EXPECT_EQ(H264Bitstream::type(Bytes{0x67}), H264Bitstream::kSequenceParameterSet);
    EXPECT_EQ(H264Bitstream::type(Bytes{0x68}), H264Bitstream::kPictureParameterSet);
    EXPECT_EQ(H264Bitstream::type(Bytes{0x25}), H264Bitstream::kIdrSlice);
    EXPECT_EQ(H264Bitstream::type(Bytes{}), 0);
}

}  // namespace
}  // namespace caldrovex
