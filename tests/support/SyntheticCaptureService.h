#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "video/CaptureService.h"
#include "video/VideoFramePool.h"

namespace caldrovex::test {

// How a synthetic call answers: at once, with a failure, or never (the platform hangs).
struct SyntheticAnswer {
    bool answers = true;
    std::optional<CaldrovexError> error;
};

class SyntheticCaptureService;

// A capture stream that produces the moving test pattern when the test (or a benchmark) calls
// `emit`, at the configured size, stamped with the service's clock. Like a real stream it
// delivers only between a successful start and its stop, whatever the streamer thinks of it.
class SyntheticCaptureStream final : public CaptureStream {
public:
    SyntheticCaptureStream(CaptureDisplay display, CaptureConfiguration configuration,
                           platform::QueuePtr queue, platform::ClockPtr clock,
                           CaptureService::FrameHandler onFrame, CaptureService::StopHandler onStop,
                           SyntheticAnswer start, SyntheticAnswer stop);

    void startCapture(Done done) override;
    void stopCapture(Done done) override;
    void exclude(const std::set<uint32_t>& windowIDs, std::function<void(bool)> done) override;

    // Posts one picture to the capture queue; false (nothing posted) unless running.
    bool emit();
    // The stream ends on its own with `message`.
    void failWith(const std::string& message);

    bool running() const;
    const CaptureDisplay display;
    const CaptureConfiguration configuration;
    // What `exclude` answers; the windows last asked for. While `holdExcludes` is set, the
    // answers wait until `answerExcludes` (a capture that takes its time to build a frame).
    bool excludeAnswer = false;
    std::set<uint32_t> excludedWindows;
    bool holdExcludes = false;
    void answerExcludes();
    size_t heldExcludes() const { return held_.size(); }

private:
    platform::QueuePtr queue_;
    platform::ClockPtr clock_;
    CaptureService::FrameHandler onFrame_;
    CaptureService::StopHandler onStop_;
    SyntheticAnswer startAnswer_;
    SyntheticAnswer stopAnswer_;
    VideoFramePool pool_;
    mutable std::mutex mutex_;
    bool running_ = false;
    int64_t index_ = 0;
    std::vector<std::function<void(bool)>> held_;
};

// A capture service with a display list the test sets, and streams it keeps for inspection.
class SyntheticCaptureService final : public CaptureService {
public:
    explicit SyntheticCaptureService(platform::ClockPtr clock);

    void displays(std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) override;
    std::shared_ptr<CaptureStream> makeStream(const CaptureDisplay& display,
                                              const CaptureConfiguration& configuration,
                                              platform::QueuePtr captureQueue, FrameHandler onFrame,
                                              StopHandler onStop) override;

    std::vector<CaptureDisplay> displayList;
    SyntheticAnswer displaysAnswer;
    std::optional<CaldrovexError> makeError;
    // How the next streams answer start, stop and exclude.
    SyntheticAnswer startAnswer;
    SyntheticAnswer stopAnswer;
    bool excludeAnswer = false;
    bool holdExcludes = false;
    // Every stream made, oldest first.
    std::vector<std::shared_ptr<SyntheticCaptureStream>> streams;

private:
    platform::ClockPtr clock_;
};

}  // namespace caldrovex::test
