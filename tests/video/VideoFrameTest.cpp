#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "video/VideoFrame.h"
#include "video/VideoFramePool.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace caldrovex {
namespace {

bool samePixels(const VideoFrame& a, const VideoFrame& b) {
    const AVFrame* x = a.avFrame();
    const AVFrame* y = b.avFrame();
    for (int row = 0; row < x->height; ++row) {
        if (std::memcmp(x->data[0] + row * x->linesize[0], y->data[0] + row * y->linesize[0],
                        x->width) != 0) {
            return false;
        }
    }
    for (int row = 0; row < (x->height + 1) / 2; ++row) {
        if (std::memcmp(x->data[1] + row * x->linesize[1], y->data[1] + row * y->linesize[1],
                        x->width) != 0) {
            return false;
        }
    }
    return true;
}

TEST(VideoFrameTest, AllocatedFrameIsNv12VideoRange) {
    VideoFrame frame = VideoFrame::allocate(320, 240);
    ASSERT_FALSE(frame.empty());
    EXPECT_EQ(frame.width(), 320);
    EXPECT_EQ(frame.height(), 240);
    EXPECT_EQ(frame.avFrame()->format, AV_PIX_FMT_NV12);
    EXPECT_EQ(frame.avFrame()->color_range, AVCOL_RANGE_MPEG);
    EXPECT_TRUE(VideoFrame().empty());
    EXPECT_THROW(VideoFrame::allocate(0, 10), std::bad_alloc);
}

TEST(VideoFrameTest, CopiesSharePixels) {
    VideoFrame frame = VideoFrame::allocate(16, 16);
    VideoFrame copy = frame;
    frame.fillSolid(100, 50, 200);
    EXPECT_EQ(copy.avFrame(), frame.avFrame());
    EXPECT_EQ(copy.avFrame()->data[0][0], 100);
    EXPECT_EQ(copy.avFrame()->data[1][0], 50);
    EXPECT_EQ(copy.avFrame()->data[1][1], 200);
}

TEST(VideoFrameTest, TestPatternIsDeterministicAndMoves) {
    VideoFrame a = VideoFrame::allocate(64, 48);
    VideoFrame b = VideoFrame::allocate(64, 48);
    a.fillTestPattern(7);
    b.fillTestPattern(7);
    EXPECT_TRUE(samePixels(a, b));
    b.fillTestPattern(8);
    EXPECT_FALSE(samePixels(a, b));
    for (int x = 0; x < 64; ++x) {
        uint8_t luma = a.avFrame()->data[0][x];
        EXPECT_GE(luma, 16);
        EXPECT_LE(luma, 235);
    }
}

TEST(VideoFrameTest, PoolFramesHaveThePoolsSizeAndOutliveThePool) {
    VideoFrame kept;
    {
        VideoFramePool pool(33, 17);  // odd sizes: the chroma plane rounds up
        VideoFrame first = pool.acquire();
        EXPECT_EQ(first.width(), 33);
        EXPECT_EQ(first.height(), 17);
        EXPECT_EQ(first.avFrame()->format, AV_PIX_FMT_NV12);
        EXPECT_GE(first.avFrame()->linesize[0], 34);
        first.fillTestPattern(1);  // writes every row of both planes
        kept = pool.acquire();
        kept.fillSolid(16, 128, 128);
    }
    // The pool is gone; the frame's memory is still valid.
    EXPECT_EQ(kept.avFrame()->data[0][0], 16);
    EXPECT_THROW(VideoFramePool(-1, 10), std::bad_alloc);
}

}  // namespace
}  // namespace caldrovex
