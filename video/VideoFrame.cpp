#include "video/VideoFrame.h"

#include <atomic>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace caldrovex {

namespace {

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// A small integer hash (one round of a xorshift-multiply mixer): cheap, and good enough that
// the encoder cannot predict one noise block from another.
uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

}  // namespace

VideoFrame::VideoFrame(AVFrame* frame) {
    if (frame != nullptr) {
        frame_ = std::shared_ptr<AVFrame>(frame, FrameDeleter{});
    }
}

VideoFrame VideoFrame::allocate(int width, int height) {
    if (width <= 0 || height <= 0) {
        throw std::bad_alloc();
    }
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) {
        throw std::bad_alloc();
    }
    VideoFrame result(frame);
    describe(frame, width, height);
    if (av_frame_get_buffer(frame, 0) < 0) {
        throw std::bad_alloc();
    }
    return result;
}

void VideoFrame::describe(AVFrame* frame, int width, int height) {
    frame->format = AV_PIX_FMT_NV12;
    frame->width = width;
    frame->height = height;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_primaries = AVCOL_PRI_BT709;
    frame->color_trc = AVCOL_TRC_BT709;
}

int VideoFrame::width() const {
    return frame_ ? frame_->width : 0;
}

int VideoFrame::height() const {
    return frame_ ? frame_->height : 0;
}

bool VideoFrame::exclusive() const {
    if (!frame_ || frame_.use_count() != 1) {
        return false;
    }
    for (AVBufferRef* buffer : frame_->buf) {
        if (buffer != nullptr && av_buffer_is_writable(buffer) == 0) {
            return false;
        }
    }
    // The other holders let go with a release; what they wrote or read happens before the
    // writes of whoever sees the count drop to one.
    std::atomic_thread_fence(std::memory_order_acquire);
    return true;
}

void VideoFrame::fillSolid(uint8_t y, uint8_t cb, uint8_t cr) {
    if (!frame_) {
        return;
    }
    AVFrame* f = frame_.get();
    for (int row = 0; row < f->height; ++row) {
        std::memset(f->data[0] + row * f->linesize[0], y, f->width);
    }
    int chromaWidth = (f->width + 1) / 2;
    for (int row = 0; row < (f->height + 1) / 2; ++row) {
        uint8_t* line = f->data[1] + row * f->linesize[1];
        for (int x = 0; x < chromaWidth; ++x) {
            line[2 * x] = cb;
            line[2 * x + 1] = cr;
        }
    }
}

void VideoFrame::fillTestPattern(int64_t index) {
    if (!frame_) {
        return;
    }
    AVFrame* f = frame_.get();
    auto phase = static_cast<uint32_t>(index);
    for (int row = 0; row < f->height; ++row) {
        uint8_t* line = f->data[0] + row * f->linesize[0];
        for (int x = 0; x < f->width; ++x) {
            auto block = static_cast<uint32_t>(x / 16 + row / 16) + phase / 5;
            uint32_t value =
                (block & 3) == 0
                    ? mix(static_cast<uint32_t>(row * 65599 + x) ^ mix(phase))
                    : (static_cast<uint32_t>(x) + phase * 3) ^ static_cast<uint32_t>(row * 2);
            // Keep luma inside video range so the picture survives a round trip unchanged.
            line[x] = static_cast<uint8_t>(16 + (value & 0xff) * 219 / 255);
        }
    }
    int chromaWidth = (f->width + 1) / 2;
    for (int row = 0; row < (f->height + 1) / 2; ++row) {
        uint8_t* line = f->data[1] + row * f->linesize[1];
        for (int x = 0; x < chromaWidth; ++x) {
            line[2 * x] = static_cast<uint8_t>(16 + (x * 4 + row + phase) % 225);
            line[2 * x + 1] = static_cast<uint8_t>(16 + (x + row * 3 + phase * 2) % 225);
        }
    }
}

}  // namespace caldrovex
