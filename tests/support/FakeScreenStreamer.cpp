#include "support/FakeScreenStreamer.h"

#include <algorithm>

namespace caldrovex::test {

FakeScreenStreamer::FakeScreenStreamer(platform::QueuePtr queue, platform::ClockPtr clock)
    : pipeline_(VideoPipeline::make(std::move(queue), clock, FakeEncoderSession::factory(encoderLog))),
      clock_(std::move(clock)) {}

void FakeScreenStreamer::displays(DisplaysCompletion completion) {
    calls.push_back("displays");
    waitingDisplays.push_back(std::move(completion));
    if (answerAtOnce) finishDisplays();
}

void FakeScreenStreamer::start(std::optional<uint32_t> displayID, int maxWidth, int fps,
                               StartCompletion completion) {
    calls.push_back("start");
    StartCall call{displayID, maxWidth, fps, std::move(completion)};
    starts.push_back(call);
    waitingStarts.push_back(std::move(call));
    if (answerAtOnce) finishStart();
}

void FakeScreenStreamer::stop(std::function<void()> completion) {
    calls.push_back("stop");
    capturing = false;
    generation += 1;
    waitingStops.push_back(std::move(completion));
    if (answerAtOnce) finishStop();
}

void FakeScreenStreamer::retire() {
    calls.push_back("retire");
    capturing = false;
    generation += 1;
}

void FakeScreenStreamer::finishDisplays() {
    auto completion = std::move(waitingDisplays.front());
    waitingDisplays.erase(waitingDisplays.begin());
    completion(screens);
}

void FakeScreenStreamer::finishDisplays(CaldrovexError error) {
    auto completion = std::move(waitingDisplays.front());
    waitingDisplays.erase(waitingDisplays.begin());
    completion(std::move(error));
}

RemoteDisplay FakeScreenStreamer::chosen(const StartCall& call) const {
    auto found = std::find_if(screens.begin(), screens.end(), [&](const RemoteDisplay& display) {
        return call.displayID && display.id == *call.displayID;
    });
    RemoteDisplay display = found != screens.end() ? *found : screens.front();
    // Scaled down to the width asked for, as the real streamer does (even sizes).
    if (display.width > call.maxWidth) {
        display.height = (display.height * call.maxWidth / display.width) / 2 * 2;
        display.width = call.maxWidth;
    }
    return display;
}

void FakeScreenStreamer::finishStart() {
    auto call = std::move(waitingStarts.front());
    waitingStarts.erase(waitingStarts.begin());
    capturing = true;
    generation += 1;
    call.completion(chosen(call));
}

void FakeScreenStreamer::finishStart(CaldrovexError error) {
    auto call = std::move(waitingStarts.front());
    waitingStarts.erase(waitingStarts.begin());
    call.completion(std::move(error));
}

void FakeScreenStreamer::finishStop() {
    auto completion = std::move(waitingStops.front());
    waitingStops.erase(waitingStops.begin());
    // A stop forgets every frame, as the real one does.
    pipeline_->queue->post([pipeline = pipeline_] { pipeline->reset(); });
    completion();
}

void FakeScreenStreamer::deliverFrame() {
    const auto micros = static_cast<int64_t>(clock_->monotonic() * 1e6);
    pipeline_->intake(VideoFrame::allocate(64, 36), MediaTime::make(micros, 1'000'000));
}

}  // namespace caldrovex::test
