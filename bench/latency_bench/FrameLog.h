#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace caldrovex::bench {

// One picture as the receiving end decoded it. Times are CLOCK_MONOTONIC seconds.
struct FrameRecord {
    // The access unit was complete at the receiver.
    double receivedAt = 0;
    // Its picture was decoded (and converted to RGB).
    double decodedAt = 0;
    bool keyframe = false;
    int64_t bytes = 0;
    int width = 0;
    int height = 0;
    // The colour at the probe point.
    std::array<uint8_t, 3> probe{};
};

// The frames of one run, appended by a reader thread, read by the bench's main thread; also
// when the receiver was told that the stream runs ("streaming", the host's sources only).
class FrameLog {
public:
    void streaming(double at) {
        std::lock_guard guard(mutex_);
        streamingAt_.push_back(at);
        changed_.notify_all();
    }

    // Waits until the stream has been announced `count` times; the time of that
    // announcement, or nullopt on timeout.
    std::optional<double> waitForStreaming(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, timeout, [&] { return streamingAt_.size() >= count; }))
            return std::nullopt;
        return streamingAt_[count - 1];
    }

    void add(const FrameRecord& frame) {
        std::lock_guard guard(mutex_);
        frames_.push_back(frame);
        changed_.notify_all();
    }

    // Waits until at least `count` frames are in; false on timeout.
    bool waitFor(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
    }

    std::vector<FrameRecord> frames() const {
        std::lock_guard guard(mutex_);
        return frames_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<FrameRecord> frames_;  // guarded by mutex_
    std::vector<double> streamingAt_;  // guarded by mutex_
};

}  // namespace caldrovex::bench
