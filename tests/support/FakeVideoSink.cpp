#include "support/FakeVideoSink.h"

#include <chrono>
#include <utility>

namespace caldrovex::test {

FakeVideoSink::FakeVideoSink(platform::ClockPtr clock)
    : pacer_(std::make_shared<VideoPacer>([clock] { return clock->monotonic(); })) {}

void FakeVideoSink::sendControl(const ControlMessage& message) {
    std::lock_guard guard(mutex_);
    sent_.push_back(Sent{message, {}, false});
}

void FakeVideoSink::sendVideo(std::vector<uint8_t> frame, bool isKeyframe) {
    // The packet body is the frame plus its one-byte key-frame flag.
    pacer_->didSend(static_cast<int64_t>(frame.size()) + 1, isKeyframe);
    {
        std::lock_guard guard(mutex_);
        sent_.push_back(Sent{std::nullopt, std::move(frame), isKeyframe});
    }
    changed_.notify_all();
    if (completesAtOnce) {
        pacer_->didComplete();
    }
}

bool FakeVideoSink::waitForFrames(size_t count, double seconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
        size_t frames = 0;
        for (const auto& item : sent_) {
            frames += item.control ? 0 : 1;
        }
        return frames >= count;
    });
}

std::vector<FakeVideoSink::Sent> FakeVideoSink::sent() const {
    std::lock_guard guard(mutex_);
    return sent_;
}

size_t FakeVideoSink::frames() const {
    std::lock_guard guard(mutex_);
    size_t count = 0;
    for (const auto& item : sent_) {
        count += item.control ? 0 : 1;
    }
    return count;
}

}  // namespace caldrovex::test
