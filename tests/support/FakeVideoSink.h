#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Clock.h"
#include "video/VideoSink.h"

namespace caldrovex::test {

// A video sink that records, in order, what the pipeline sends it, and reports each frame to
// its pacer as sent (didSend) the way a connection does. Credit comes back only when the
// test says so: `complete` (unacknowledged regime) or through the pacer directly.
class FakeVideoSink final : public VideoSink {
public:
    // One thing sent: a control message, or a frame.
    struct Sent {
        std::optional<ControlMessage> control;
        std::vector<uint8_t> frame;
        bool keyframe = false;
    };

    explicit FakeVideoSink(platform::ClockPtr clock);
    static std::shared_ptr<FakeVideoSink> make(platform::ClockPtr clock) {
        return std::make_shared<FakeVideoSink>(std::move(clock));
    }

    std::shared_ptr<VideoPacer> pacer() const override { return pacer_; }
    void sendControl(const ControlMessage& message) override;
    void sendVideo(std::vector<uint8_t> frame, bool isKeyframe) override;

    std::vector<Sent> sent() const;
    // Number of frames sent so far.
    size_t frames() const;
    // The network finished writing the oldest frame: its credit returns (unacknowledged).
    void complete() { pacer_->didComplete(); }
    // Waits (on a real clock, for integration tests) until `count` frames were sent; false
    // when `seconds` passed first.
    bool waitForFrames(size_t count, double seconds) const;

    // Report each frame written as soon as it is sent, as a fast network would.
    bool completesAtOnce = false;

private:
    std::shared_ptr<VideoPacer> pacer_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Sent> sent_;
};

}  // namespace caldrovex::test
