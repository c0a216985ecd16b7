#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/Queue.h"
#include "support/FakeEncoderSession.h"
#include "video/ScreenStreamer.h"

namespace caldrovex::test {

// A screen streamer the test drives: it records each call and holds the completions of
// `displays`, `start` and `stop` until the test finishes them (or answers at once when
// `answerAtOnce`). Its pipeline is real, on the test's queue, with a fake encoder.
class FakeScreenStreamer final : public ScreenStreamer {
public:
    using DisplaysCompletion = std::function<void(TimeoutOutcome<std::vector<RemoteDisplay>>)>;
    using StartCompletion = std::function<void(TimeoutOutcome<RemoteDisplay>)>;

    struct StartCall {
        std::optional<uint32_t> displayID;
        int maxWidth = 0;
        int fps = 0;
        StartCompletion completion;
    };

    FakeScreenStreamer(platform::QueuePtr queue, platform::ClockPtr clock);

    void displays(DisplaysCompletion completion) override;
    void start(std::optional<uint32_t> displayID, int maxWidth, int fps,
               StartCompletion completion) override;
    void stop(std::function<void()> completion) override;
    void retire() override;
    void setErrorCallback(std::function<void(const std::string&, int64_t)> callback) override {
        errorCallback = std::move(callback);
    }
    bool reportIsCurrent(int64_t reported) override { return capturing && reported == generation; }
    std::shared_ptr<VideoPipeline> pipeline() const override { return pipeline_; }

    // Finishes the oldest waiting call of its kind.
    void finishDisplays();
    void finishDisplays(CaldrovexError error);
    void finishStart();
    void finishStart(CaldrovexError error);
    void finishStop();
    // Hands the pipeline one captured frame.
    void deliverFrame();
    // Reports a failure of the running capture, as the capture thread would.
    void fail(const std::string& message) { errorCallback(message, generation); }

    bool answerAtOnce = true;
    std::vector<RemoteDisplay> screens{{11, "DP-1", 2560, 1440}, {12, "HDMI-1", 1920, 1080}};
    std::vector<DisplaysCompletion> waitingDisplays;
    std::vector<StartCall> waitingStarts;
    std::vector<std::function<void()>> waitingStops;
    // Every call, in order: "displays", "start", "stop", "retire".
    std::vector<std::string> calls;
    std::vector<StartCall> starts;
    bool capturing = false;
    int64_t generation = 0;
    std::function<void(const std::string&, int64_t)> errorCallback;
    std::shared_ptr<FakeEncoderSession::Log> encoderLog = std::make_shared<FakeEncoderSession::Log>();

private:
    RemoteDisplay chosen(const StartCall& call) const;

    std::shared_ptr<VideoPipeline> pipeline_;
    platform::ClockPtr clock_;
};

}  // namespace caldrovex::test
