#include "video/VideoFramePool.h"

#include <new>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

namespace caldrovex {

namespace {

// Row alignment that every SIMD path of libavcodec and libswscale accepts.
constexpr int kRowAlignment = 64;
// Slack after the last row: some SIMD readers fetch a little past the end of a plane.
constexpr int kTailPadding = 64;

int alignUp(int value, int alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

}  // namespace

void VideoFramePool::PoolDeleter::operator()(AVBufferPool* pool) const {
    // Frees the pool once every buffer handed out has come back.
    av_buffer_pool_uninit(&pool);
}

VideoFramePool::VideoFramePool(int width, int height) : width_(width), height_(height), stride_(0) {
    if (width <= 0 || height <= 0) {
        throw std::bad_alloc();
    }
    // The chroma plane holds (width + 1) / 2 Cb/Cr pairs per row: the same byte count as a
    // luma row rounded up to even.
    stride_ = alignUp(width + (width & 1), kRowAlignment);
    size_t size = static_cast<size_t>(stride_) * (height + (height + 1) / 2) + kTailPadding;
    pool_.reset(av_buffer_pool_init(size, av_buffer_alloc));
    if (!pool_) {
        throw std::bad_alloc();
    }
}

VideoFrame VideoFramePool::acquire() {
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) {
        throw std::bad_alloc();
    }
    VideoFrame result(frame);
    frame->buf[0] = av_buffer_pool_get(pool_.get());
    if (frame->buf[0] == nullptr) {
        throw std::bad_alloc();
    }
    VideoFrame::describe(frame, width_, height_);
    frame->data[0] = frame->buf[0]->data;
    frame->linesize[0] = stride_;
    frame->data[1] = frame->data[0] + static_cast<size_t>(stride_) * height_;
    frame->linesize[1] = stride_;
    return result;
}

}  // namespace caldrovex
