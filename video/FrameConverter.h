#pragma once

#include <cstdint>
#include <memory>

#include "video/VideoFrame.h"
#include "video/VideoFramePool.h"

struct SwsContext;

namespace caldrovex {

// Turns captured screen pictures (packed 32-bit pixels, bytes B, G, R, unused: the layout of
// a 24-bit X11 screen) into NV12 frames at the stream size: scaled with a bilinear filter,
// BT.709 coefficients, video range. Frames come from a pool of the stream size.
//
// Owned and used by one thread at a time (the capture thread); the frames it returns may go
// anywhere.
class FrameConverter {
public:
    // Throws std::bad_alloc when a size is not positive or memory runs out.
    FrameConverter(int sourceWidth, int sourceHeight, int width, int height);
    ~FrameConverter();

    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Converts one picture of the source size, rows `stride` bytes apart.
    VideoFrame convert(const uint8_t* pixels, int stride);

    int sourceWidth() const { return sourceWidth_; }
    int sourceHeight() const { return sourceHeight_; }

private:
    struct ContextDeleter {
        void operator()(SwsContext* context) const;
    };

    int sourceWidth_;
    int sourceHeight_;
    std::unique_ptr<SwsContext, ContextDeleter> context_;
    VideoFramePool pool_;
};

}  // namespace caldrovex
