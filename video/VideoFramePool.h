#pragma once

#include <memory>

#include "video/VideoFrame.h"

struct AVBufferPool;

namespace caldrovex {

// Recycles the pixel memory of NV12 frames of one size, so that a capture source producing
// 30 frames a second does not allocate a fresh picture each time.
//
// `acquire` may be called from any thread. Frames taken from the pool may outlive it: their
// memory goes back to the pool while it lives and is freed once both the pool and the last
// frame are gone.
class VideoFramePool {
public:
    // Throws std::bad_alloc when the size is not positive or memory runs out.
    VideoFramePool(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }

    // A frame of the pool's size with recycled buffers; contents unspecified. Throws
    // std::bad_alloc when memory runs out.
    VideoFrame acquire();

private:
    struct PoolDeleter {
        void operator()(AVBufferPool* pool) const;
    };

    int width_;
    int height_;
    int stride_;
    std::unique_ptr<AVBufferPool, PoolDeleter> pool_;
};

}  // namespace caldrovex
