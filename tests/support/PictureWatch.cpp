#include "support/PictureWatch.h"

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
}

namespace caldrovex::test {

::testing::AssertionResult samePicture(const VideoFrame& a, const VideoFrame& b) {
    const AVFrame* x = a.avFrame();
    const AVFrame* y = b.avFrame();
    if (x == nullptr || y == nullptr || x->width != y->width || x->height != y->height) {
        return ::testing::AssertionFailure() << "the sizes differ";
    }
    for (int plane = 0; plane < 2; ++plane) {
        int rows = plane == 0 ? x->height : (x->height + 1) / 2;
        for (int row = 0; row < rows; ++row) {
            if (std::memcmp(x->data[plane] + row * x->linesize[plane],
                            y->data[plane] + row * y->linesize[plane],
                            static_cast<size_t>(x->width)) != 0) {
                return ::testing::AssertionFailure()
                       << (plane == 0 ? "luma" : "chroma") << " row " << row << " differs";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

CaptureService::FrameHandler PictureWatch::handler() {
    return [this](VideoFrame frame, MediaTime) {
        std::lock_guard guard(mutex_);
        latest_ = std::move(frame);
        arrived_.notify_all();
    };
}

bool PictureWatch::waitForPicture(const VideoFrame& expected, double timeout) {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::duration<double>(timeout),
                             [&] { return bool(samePicture(latest_, expected)); });
}

}  // namespace caldrovex::test
