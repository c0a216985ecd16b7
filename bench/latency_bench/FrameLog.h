#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
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

// The frames of one run, appended by a reader thread, read by the bench's main thread.
class FrameLog {
public:
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
};

}  // namespace caldrovex::bench
