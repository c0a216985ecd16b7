#include "video/ScreenStreamer.h"

#include <utility>

#include "video/StreamSize.h"

namespace caldrovex {

namespace {

constexpr const char* kNoDisplayMessage =
    "No display is available. Keep a display connected to this computer.";

TimeoutOutcome<TimeoutDone> doneOutcome(const std::optional<CaldrovexError>& error) {
    if (error) {
        return TimeoutOutcome<TimeoutDone>(std::in_place_index<1>, *error);
    }
    return TimeoutOutcome<TimeoutDone>(TimeoutDone{});
}

template <typename T>
TimeoutOutcome<T> failure(const CaldrovexError& error) {
    return TimeoutOutcome<T>(std::in_place_index<1>, error);
}

// Stops `streams` one after the other, each bounded in time; failures and timeouts are of no
// interest (the stream is dropped either way, which ends it too). Then `finish`.
void stopEach(platform::QueuePtr timerQueue,
              std::shared_ptr<std::vector<std::shared_ptr<CaptureStream>>> streams, size_t index,
              std::function<void()> finish) {
    if (index >= streams->size()) {
        finish();
        return;
    }
    std::shared_ptr<CaptureStream> stream = (*streams)[index];
    auto& timer = *timerQueue;
    withTimeout<TimeoutDone>(
        timer, ScreenStreamer::kStopTimeout,
        [stream](std::function<void(TimeoutOutcome<TimeoutDone>)> outcome) {
            stream->stopCapture(
                [outcome](std::optional<CaldrovexError> error) { outcome(doneOutcome(error)); });
        },
        [timerQueue = std::move(timerQueue), streams, index, finish = std::move(finish)](
            TimeoutOutcome<TimeoutDone>) { stopEach(timerQueue, streams, index + 1, finish); });
}

}  // namespace

std::shared_ptr<ScreenStreamer> ScreenStreamer::make(std::shared_ptr<CaptureService> service,
                                                     platform::QueuePtr captureQueue,
                                                     platform::QueuePtr timerQueue,
                                                     platform::ClockPtr clock,
                                                     EncoderSessionFactory encoderFactory) {
    std::shared_ptr<ScreenStreamer> streamer(
        new ScreenStreamer(std::move(service), std::move(captureQueue), std::move(timerQueue),
                           std::move(clock), std::move(encoderFactory)));
    streamer->pipeline->onError = [weak = streamer->weak()](const std::string& message) {
        if (auto self = weak.lock()) {
            self->report(message);
        }
    };
    return streamer;
}

ScreenStreamer::ScreenStreamer(std::shared_ptr<CaptureService> service,
                               platform::QueuePtr captureQueue, platform::QueuePtr timerQueue,
                               platform::ClockPtr clock, EncoderSessionFactory encoderFactory)
    : pipeline(VideoPipeline::make(captureQueue, std::move(clock), std::move(encoderFactory))),
      captureQueue(std::move(captureQueue)),
      service_(std::move(service)),
      timerQueue_(std::move(timerQueue)) {}

std::string ScreenStreamer::name(const CaptureDisplay& display) {
    return display.name.empty() ? "Display " + std::to_string(display.id) : display.name;
}

void ScreenStreamer::displays(
    std::function<void(TimeoutOutcome<std::vector<RemoteDisplay>>)> done) {
    withTimeout<std::vector<CaptureDisplay>>(
        *timerQueue_, kQueryTimeout,
        [service =
             service_](std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> outcome) {
            service->displays(std::move(outcome));
        },
        [done = std::move(done)](TimeoutOutcome<std::vector<CaptureDisplay>> outcome) {
            if (auto* error = std::get_if<CaldrovexError>(&outcome)) {
                return done(failure<std::vector<RemoteDisplay>>(*error));
            }
            std::vector<RemoteDisplay> result;
            for (const CaptureDisplay& display : std::get<0>(outcome)) {
                result.push_back(
                    RemoteDisplay{display.id, name(display), display.width, display.height});
            }
            done(std::move(result));
        });
}

// Operations in flight hold the streamer strongly: each step is bounded in time, so it lives
// at most that long past its owner, and the completion always comes.
void ScreenStreamer::start(std::optional<uint32_t> displayID, int maxWidth, int fps,
                           std::function<void(TimeoutOutcome<RemoteDisplay>)> done) {
    stop([self = shared_from_this(), displayID, maxWidth, fps, done = std::move(done)]() mutable {
        self->startAfterStop(displayID, maxWidth, fps, std::move(done));
    });
}

void ScreenStreamer::startAfterStop(std::optional<uint32_t> displayID, int maxWidth, int fps,
                                    std::function<void(TimeoutOutcome<RemoteDisplay>)> done) {
    withTimeout<std::vector<CaptureDisplay>>(
        *timerQueue_, kQueryTimeout,
        [service =
             service_](std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> outcome) {
            service->displays(std::move(outcome));
        },
        [self = shared_from_this(), displayID, maxWidth, fps,
         done = std::move(done)](TimeoutOutcome<std::vector<CaptureDisplay>> outcome) mutable {
            if (auto* error = std::get_if<CaldrovexError>(&outcome)) {
                return done(failure<RemoteDisplay>(*error));
            }
            self->startOn(std::get<0>(outcome), displayID, maxWidth, fps, std::move(done));
        });
}

void ScreenStreamer::startOn(const std::vector<CaptureDisplay>& displays,
                             std::optional<uint32_t> displayID, int maxWidth, int fps,
                             std::function<void(TimeoutOutcome<RemoteDisplay>)> done) {
    if (displays.empty()) {
        return done(failure<RemoteDisplay>(CaldrovexError(kNoDisplayMessage)));
    }
    const CaptureDisplay* chosen = &displays.front();
    for (const CaptureDisplay& display : displays) {
        if (displayID && display.id == *displayID) {
            chosen = &display;
            break;
        }
    }
    const CaptureDisplay display = *chosen;
    const StreamSize size = StreamSize::fitting(display.width, display.height, maxWidth);
    const CaptureConfiguration configuration{size.width, size.height, fps, true};

    uint64_t streamID = 0;
    {
        std::lock_guard guard(stateLock_);
        streamID = ++nextStreamID_;
    }
    std::shared_ptr<CaptureStream> stream;
    try {
        stream = service_->makeStream(
            display, configuration, captureQueue,
            [weak = weak(), streamID](VideoFrame frame, MediaTime time) {
                if (auto self = weak.lock()) {
                    self->intake(streamID, std::move(frame), time);
                }
            },
            [weak = weak(), streamID](const std::string& message) {
                if (auto self = weak.lock()) {
                    self->streamStopped(streamID, message);
                }
            });
    } catch (const CaldrovexError& error) {
        return done(failure<RemoteDisplay>(error));
    }
    {
        std::lock_guard guard(stateLock_);
        currentStream_ = Stream{stream, streamID};
        ++generation_;
    }
    {
        std::lock_guard guard(stateLock_);
        capturedDisplayID_ = display.id;
    }
    withTimeout<TimeoutDone>(
        *timerQueue_, kStartTimeout,
        [stream](std::function<void(TimeoutOutcome<TimeoutDone>)> outcome) {
            stream->startCapture(
                [outcome](std::optional<CaldrovexError> error) { outcome(doneOutcome(error)); });
        },
        [self = shared_from_this(), streamID, display, size, fps,
         done = std::move(done)](TimeoutOutcome<TimeoutDone> outcome) {
            if (auto* error = std::get_if<CaldrovexError>(&outcome)) {
                {
                    std::lock_guard guard(self->stateLock_);
                    if (self->currentStream_ && self->currentStream_->id == streamID) {
                        self->currentStream_.reset();
                        ++self->generation_;
                    }
                }
                return done(failure<RemoteDisplay>(*error));
            }
            // The stream is ready once the encoder is: opened and warmed up for its pictures,
            // so that the first frames the device sees are not slowed by that.
            self->captureQueue->post([self, display, size, fps, done] {
                const bool scaled = size.width != display.width || size.height != display.height;
                self->pipeline->prepare(size.width, size.height, fps, scaled);
                done(RemoteDisplay{display.id, name(display), size.width, size.height});
            });
        });
}

void ScreenStreamer::stop(std::function<void()> done) {
    auto streams = std::make_shared<std::vector<std::shared_ptr<CaptureStream>>>();
    {
        std::lock_guard guard(stateLock_);
        for (auto* slot : {&currentStream_, &retiredStream_}) {
            if (*slot) {
                streams->push_back((*slot)->stream);
                slot->reset();
            }
        }
        ++generation_;
    }
    stopEach(timerQueue_, streams, 0,
             [pipeline = pipeline, queue = captureQueue, done = std::move(done)] {
                 queue->post([pipeline, done] {
                     pipeline->reset();
                     done();
                 });
             });
}

void ScreenStreamer::retire() {
    std::lock_guard guard(stateLock_);
    if (currentStream_) {
        retiredStream_ = std::move(currentStream_);
        currentStream_.reset();
    }
    ++generation_;
}

void ScreenStreamer::exclude(std::set<uint32_t> windowIDs, std::function<void(bool)> done) {
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard guard(stateLock_);
        if (currentStream_ && capturedDisplayID_) {
            stream = currentStream_->stream;
        }
    }
    if (!stream) {
        return done(false);
    }
    withTimeout<bool>(
        *timerQueue_, kExcludeTimeout,
        [stream,
         windowIDs = std::move(windowIDs)](std::function<void(TimeoutOutcome<bool>)> outcome) {
            stream->exclude(windowIDs,
                            [outcome](bool excluded) { outcome(TimeoutOutcome<bool>(excluded)); });
        },
        [done = std::move(done)](TimeoutOutcome<bool> outcome) {
            const bool* excluded = std::get_if<bool>(&outcome);
            done(excluded != nullptr && *excluded);
        });
}

void ScreenStreamer::setErrorCallback(ErrorCallback callback) {
    std::lock_guard guard(stateLock_);
    errorCallback_ = std::move(callback);
}

ScreenStreamer::StreamState ScreenStreamer::streamState() const {
    std::lock_guard guard(stateLock_);
    return StreamState{generation_, currentStream_.has_value(), retiredStream_.has_value(),
                       capturedDisplayID_};
}

bool ScreenStreamer::isCurrent(int64_t generation) const {
    std::lock_guard guard(stateLock_);
    return currentStream_.has_value() && generation == generation_;
}

void ScreenStreamer::intake(uint64_t streamID, VideoFrame frame, MediaTime time) {
    bool current = false;
    {
        std::lock_guard guard(stateLock_);
        current = currentStream_ && currentStream_->id == streamID;
    }
    if (current && !frame.empty()) {
        pipeline->intake(std::move(frame), time);
    }
}

void ScreenStreamer::streamStopped(uint64_t streamID, const std::string& message) {
    ErrorCallback callback;
    int64_t generation = 0;
    {
        std::lock_guard guard(stateLock_);
        if (!currentStream_ || currentStream_->id != streamID) {
            return;
        }
        callback = errorCallback_;
        generation = generation_;
    }
    if (callback) {
        callback(message, generation);
    }
}

void ScreenStreamer::report(const std::string& message) {
    ErrorCallback callback;
    int64_t generation = 0;
    {
        std::lock_guard guard(stateLock_);
        callback = errorCallback_;
        generation = generation_;
    }
    if (callback) {
        callback(message, generation);
    }
}

}  // namespace caldrovex
