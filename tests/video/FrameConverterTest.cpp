// Screen pixels (B, G, R, unused) become NV12 in BT.709 video range, at the stream size.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "support/PictureWatch.h"
#include "video/FrameConverter.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace caldrovex {
namespace {

using test::samePicture;

struct Colour {
    uint8_t r, g, b;
};

std::vector<uint8_t> solidPicture(int width, int height, Colour colour) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = colour.b;
        pixels[i + 1] = colour.g;
        pixels[i + 2] = colour.r;
        pixels[i + 3] = 0;
    }
    return pixels;
}

TEST(FrameConverter, ColoursBecomeBt709VideoRange) {
    struct Case {
        const char* note;
        Colour rgb;
        int y, cb, cr;
    };
    // Reference values: Y = 16 + 219·Y', Cb/Cr = 128 + 224·(B'−Y')/1.8556, (R'−Y')/1.5748.
    const Case cases[] = {
        {"black", {0, 0, 0}, 16, 128, 128},  {"white", {255, 255, 255}, 235, 128, 128},
        {"red", {255, 0, 0}, 63, 102, 240},  {"green", {0, 255, 0}, 173, 42, 26},
        {"blue", {0, 0, 255}, 32, 240, 118},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        FrameConverter converter(64, 32, 64, 32);
        auto pixels = solidPicture(64, 32, c.rgb);
        VideoFrame frame = converter.convert(pixels.data(), 64 * 4);
        const AVFrame* f = frame.avFrame();
        ASSERT_EQ(frame.width(), 64);
        ASSERT_EQ(frame.height(), 32);
        EXPECT_NEAR(f->data[0][10 * f->linesize[0] + 10], c.y, 1);
        EXPECT_NEAR(f->data[1][5 * f->linesize[1] + 10], c.cb, 1);
        EXPECT_NEAR(f->data[1][5 * f->linesize[1] + 11], c.cr, 1);
    }
}

TEST(FrameConverter, ScalesToTheStreamSizeKeepingWherePicturesLie) {
    // Left half white, right half black, scaled from 200×100 to 100×50.
    std::vector<uint8_t> pixels = solidPicture(200, 100, {0, 0, 0});
    for (int row = 0; row < 100; ++row) {
        for (int x = 0; x < 100; ++x) {
            for (int k = 0; k < 3; ++k) pixels[(row * 200 + x) * 4 + k] = 255;
        }
    }
    FrameConverter converter(200, 100, 100, 50);
    VideoFrame frame = converter.convert(pixels.data(), 200 * 4);
    const AVFrame* f = frame.avFrame();
    ASSERT_EQ(frame.width(), 100);
    ASSERT_EQ(frame.height(), 50);
    EXPECT_NEAR(f->data[0][25 * f->linesize[0] + 20], 235, 1);
    EXPECT_NEAR(f->data[0][25 * f->linesize[0] + 80], 16, 1);
}

// A busy picture: every pixel differs from its neighbours, so a row converted from the wrong
// source rows, or filtered with the wrong neighbours, shows.
std::vector<uint8_t> noisePicture(int width, int height, uint32_t seed) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    std::mt19937 random(seed);
    for (auto& byte : pixels) byte = static_cast<uint8_t>(random());
    return pixels;
}

// Paints rows [begin, end) of `pixels` with fresh noise.
void repaint(std::vector<uint8_t>& pixels, int width, int begin, int end, std::mt19937& random) {
    for (size_t i = static_cast<size_t>(begin) * width * 4;
         i < static_cast<size_t>(end) * width * 4; ++i) {
        pixels[i] = static_cast<uint8_t>(random());
    }
}

// A picture that changes in a few bands at a time, converted in parts by one converter and
// whole by another: the two must agree on every row, at the display's size and scaled, also
// while earlier frames are still held (by the pipeline and the encoder, as in a stream).
TEST(FrameConverter, ConvertingChangedRowsEqualsConvertingTheWholePicture) {
    struct Case {
        const char* note;
        int sourceWidth, sourceHeight, width, height;
    };
    const Case cases[] = {
        {"same size", 96, 120, 96, 120},
        {"two thirds", 120, 90, 80, 60},
        {"half", 128, 96, 64, 48},
        {"an uneven step", 100, 75, 64, 48},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        std::mt19937 random(7);
        std::vector<uint8_t> pixels = noisePicture(c.sourceWidth, c.sourceHeight, 1);
        FrameConverter partial(c.sourceWidth, c.sourceHeight, c.width, c.height);
        // Its frames written ahead, as at a stream's start: they hold nothing of the picture.
        partial.prefault();
        FrameConverter whole(c.sourceWidth, c.sourceHeight, c.width, c.height);
        const int stride = c.sourceWidth * 4;
        std::vector<VideoFrame> held;
        for (int step = 0; step < 30; ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            RowBands changed;
            for (int band = 0; band < 1 + step % 3; ++band) {
                int begin = static_cast<int>(random() % c.sourceHeight);
                int end = std::min(c.sourceHeight, begin + 1 + static_cast<int>(random() % 9));
                repaint(pixels, c.sourceWidth, begin, end, random);
                changed.add(begin, end);
            }
            VideoFrame frame = partial.convert(pixels.data(), stride, changed);
            ASSERT_TRUE(samePicture(frame, whole.convert(pixels.data(), stride)));
            if (step > 0) {
                EXPECT_LT(partial.stats().convertedRows, c.height);
            }
            // Steps hold up to three frames at a time, the newest included.
            held.push_back(frame);
            if (held.size() > static_cast<size_t>(step % 4)) held.erase(held.begin());
        }
    }
}

TEST(FrameConverter, TheFirstPictureIsConvertedWholeAndNothingChangedConvertsNothing) {
    std::vector<uint8_t> pixels = noisePicture(64, 48, 3);
    FrameConverter converter(64, 48, 64, 48);
    FrameConverter reference(64, 48, 64, 48);
    RowBands none;
    VideoFrame first = converter.convert(pixels.data(), 64 * 4, none);
    EXPECT_EQ(converter.stats().convertedRows, 48);
    EXPECT_TRUE(samePicture(first, reference.convert(pixels.data(), 64 * 4)));
    VideoFrame second = converter.convert(pixels.data(), 64 * 4, none);
    EXPECT_EQ(converter.stats().convertedRows, 0);
    EXPECT_TRUE(samePicture(second, first));
}

TEST(FrameConverter, HeldFramesAreNeverWritten) {
    std::mt19937 random(5);
    std::vector<uint8_t> pixels = noisePicture(64, 48, 4);
    FrameConverter converter(64, 48, 64, 48);
    FrameConverter reference(64, 48, 64, 48);
    std::vector<std::pair<VideoFrame, VideoFrame>> kept;  // what was returned, and a copy
    for (int step = 0; step < 12; ++step) {
        repaint(pixels, 64, step * 4, step * 4 + 4, random);
        RowBands changed;
        changed.add(step * 4, step * 4 + 4);
        VideoFrame frame = converter.convert(pixels.data(), 64 * 4, changed);
        kept.emplace_back(frame, reference.convert(pixels.data(), 64 * 4));
    }
    for (const auto& [frame, copy] : kept) {
        EXPECT_TRUE(samePicture(frame, copy));
    }
}

}  // namespace
}  // namespace caldrovex
