#include "video/H264Decoder.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/CaldrovexError.h"
#include "platform/ManualQueue.h"
#include "video/H264Encoder.h"
#include "video/PngWriter.h"

namespace caldrovex {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Encodes `count` solid frames of one BT.709 video-range colour and waits for them.
std::vector<EncodedFrame> encodeSolid(uint8_t y, uint8_t cb, uint8_t cr, int count) {
    auto clock = std::make_shared<platform::ManualQueue>();
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<EncodedFrame> frames;
    {
        H264Encoder encoder(clock);
        encoder.setFps(30);
        encoder.setBitrate(2'000'000);
        for (int i = 0; i < count; ++i) {
            VideoFrame frame = VideoFrame::allocate(kWidth, kHeight);
            frame.fillSolid(y, cb, cr);
            encoder.encode(frame, MediaTime::make(i, 30), [&](std::optional<EncodedFrame> out) {
                std::lock_guard lock(mutex);
                if (out) frames.push_back(std::move(*out));
                arrived.notify_all();
            });
        }
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, std::chrono::minutes(2),
                         [&] { return frames.size() >= static_cast<size_t>(count); });
    }
    return frames;
}

void expectNear(std::array<uint8_t, 3> actual, std::array<int, 3> expected) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(actual[c], expected[c], 10) << "channel " << c;
}

TEST(H264DecoderTest, DecodesTheHostsColoursFromTheFirstKeyFrame) {
    // Pure red and a mid grey in BT.709 video range.
    struct Case {
        uint8_t y, cb, cr;
        std::array<int, 3> rgb;
    };
    const Case cases[] = {{63, 102, 240, {255, 0, 0}}, {126, 128, 128, {128, 128, 128}}};
    for (const auto& c : cases) {
        auto frames = encodeSolid(c.y, c.cb, c.cr, 3);
        ASSERT_EQ(frames.size(), 3u);
        H264Decoder decoder;
        for (const auto& frame : frames) {
            auto picture = decoder.decode(frame);
            ASSERT_TRUE(picture.has_value());
            EXPECT_EQ(picture->width, kWidth);
            EXPECT_EQ(picture->height, kHeight);
            expectNear(picture->pixel(kWidth / 2, kHeight / 2), c.rgb);
        }
        EXPECT_EQ(decoder.pictures(), 3);
    }
}

TEST(H264DecoderTest, FramesBeforeTheFirstKeyFrameAreSkipped) {
    auto frames = encodeSolid(126, 128, 128, 2);
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_FALSE(frames[1].keyframe);
    H264Decoder decoder;
    EXPECT_FALSE(decoder.decode(frames[1]).has_value());
    EXPECT_TRUE(decoder.decode(frames[0]).has_value());
}

TEST(PngWriterTest, WritesAPngOfThePicturesSize) {
    DecodedPicture picture{7, 5, std::vector<uint8_t>(7 * 5 * 3, 200)};
    const auto file = std::filesystem::temp_directory_path() /
                      ("caldrovex-png-" + std::to_string(getpid()) + ".png");
    PngWriter::write(picture, file);
    std::ifstream in(file, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::filesystem::remove(file);
    ASSERT_GT(bytes.size(), 24u);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 8),
              (std::vector<unsigned char>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    // IHDR: width and height as big-endian 32-bit numbers at offsets 16 and 20.
    EXPECT_EQ(bytes[19], 7);
    EXPECT_EQ(bytes[23], 5);
}

TEST(PngWriterTest, APictureWithoutPixelsIsRefused) {
    EXPECT_THROW(PngWriter::write(DecodedPicture{4, 4, {}}, "/nonexistent/never.png"),
                 CaldrovexError);
}

}  // namespace
}  // namespace caldrovex
