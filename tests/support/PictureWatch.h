#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "video/CaptureService.h"
#include "video/VideoFrame.h"

namespace caldrovex::test {

// Whether two NV12 frames hold the same picture, row by row; the first row that differs.
::testing::AssertionResult samePicture(const VideoFrame& a, const VideoFrame& b);

// Keeps the latest picture a capture stream delivers, and lets a test wait for one that
// satisfies a condition (checked with every arrival).
class PictureWatch {
public:
    CaptureService::FrameHandler handler();

    // Waits until the latest picture equals `expected`; false after `timeout` seconds.
    bool waitForPicture(const VideoFrame& expected, double timeout);

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    VideoFrame latest_;  // guarded by mutex_
};

}  // namespace caldrovex::test
