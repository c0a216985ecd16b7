#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "video/H264Encoder.h"

namespace caldrovex::bench {

// Counts the encoder's completions and their bytes, and lets the benchmark wait for them.
struct EncodeWaiter {
    std::mutex mutex;
    std::condition_variable done;
    int completed = 0;
    int64_t bytes = 0;
    std::optional<EncodedFrame> last;  // the latest completion's frame, until taken

    H264Encoder::Completion completion() {
        return [this](std::optional<EncodedFrame> frame) {
            std::lock_guard guard(mutex);
            ++completed;
            bytes += frame ? static_cast<int64_t>(frame->data.size()) : 0;
            last = std::move(frame);
            done.notify_all();
        };
    }

    std::optional<EncodedFrame> take() {
        std::lock_guard guard(mutex);
        return std::exchange(last, std::nullopt);
    }

    void waitFor(int count) {
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return completed >= count; });
    }
};

}  // namespace caldrovex::bench
