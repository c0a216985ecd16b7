// Screen pixels (B, G, R, unused) become NV12 in BT.709 video range, at the stream size.

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "video/FrameConverter.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace caldrovex {
namespace {

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

}  // namespace
}  // namespace caldrovex
