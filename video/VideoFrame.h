#pragma once

#include <cstdint>
#include <memory>

#include "video/MediaTime.h"

struct AVFrame;

namespace caldrovex {

// One captured picture in NV12 (a full-resolution luma plane followed by an interleaved
// half-resolution Cb/Cr plane), BT.709 video range: the form capture produces and the
// encoder consumes.
//
// A VideoFrame is a counted reference to an AVFrame whose pixel buffers are themselves
// reference-counted (from av_frame_get_buffer or a VideoFramePool). Copies share the pixels;
// the last copy releases them, on whichever thread drops it. Fill a frame before sharing it:
// after that its pixels are read-only by convention, since the encoder may read them on its
// own thread. An empty VideoFrame holds nothing.
class VideoFrame {
public:
    VideoFrame() = default;

    // Takes ownership of `frame` (an NV12 AVFrame with buffers); null gives an empty frame.
    explicit VideoFrame(AVFrame* frame);

    // A new frame with its own buffers, contents unspecified. Throws std::bad_alloc when the
    // size is not positive or memory runs out.
    static VideoFrame allocate(int width, int height);

    // Sets size, pixel format and colour description of an NV12 picture on `frame`, before
    // its buffers are attached.
    static void describe(AVFrame* frame, int width, int height);

    bool empty() const { return frame_ == nullptr; }
    int width() const;
    int height() const;

    // The underlying frame, for libavcodec and libswscale. Null when empty.
    const AVFrame* avFrame() const { return frame_.get(); }
    AVFrame* avFrame() { return frame_.get(); }

    // Whether this is the only reference to the frame and to its pixels, so that writing to
    // them cannot disturb anyone. Once true it stays true until this reference is copied.
    bool exclusive() const;

    // Fills the whole picture with one colour (Y, Cb, Cr in video range).
    void fillSolid(uint8_t y, uint8_t cb, uint8_t cr);

    // Fills a deterministic moving picture for tests and the synthetic capture source:
    // diagonal bands that shift with `index`, and a quarter of the 16×16 blocks filled with
    // noise that changes from one index to the next, so every frame costs the encoder real
    // bits. The same index always gives the same picture.
    void fillTestPattern(int64_t index);

private:
    std::shared_ptr<AVFrame> frame_;
};

}  // namespace caldrovex
