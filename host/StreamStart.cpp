#include "host/StreamStart.h"

#include <algorithm>

#include "host/CaptureTask.h"
#include "host/HostModel.h"
#include "host/Session.h"
#include "video/PacketConnectionSink.h"

namespace caldrovex {

// One fresh start: what the capture steps need, and the epoch that keeps them current.
struct StreamStart::Request {
    int epoch = 0;
    std::string id;
    Settings settings;
    bool acknowledged = false;
    std::shared_ptr<PacketConnection> channel;
    std::vector<RemoteDisplay> displays;
    std::function<void()> finish;
};

namespace {

int clamped(const std::optional<int64_t>& value, int fallback, int low, int high) {
    if (!value) return fallback;
    return static_cast<int>(std::clamp<int64_t>(*value, low, high));
}

bool current(const HostModel& host, const std::string& id, int epoch) {
    return host.activeID() == id && host.sessionEpoch() == epoch;
}

}  // namespace

StreamStart::Settings StreamStart::settings(const ControlMessage& message) {
    Settings settings;
    settings.fps = clamped(message.fps, 30, 10, 60);
    settings.maxWidth = clamped(message.maxWidth, 1920, 960, 3840);
    settings.bitrate = clamped(message.bitrate, 6'000'000, 1'000'000, 24'000'000);
    settings.displayID = message.displayID;
    settings.restart = message.restart.value_or(false);
    return settings;
}

void StreamStart::begin(HostModel& host, const ControlMessage& message,
                        const std::shared_ptr<PacketConnection>& channel) {
    if (!host.environment_.permissions->screenRecording()) {
        auto refusal = ControlMessage::make("hostPermission");
        refusal.message =
            host.environment_.permissions->screenRecordingProblem().value_or(kNoScreenPermission);
        channel->send(refusal);
        return;
    }
    const Settings wanted = settings(message);
    const bool acknowledged = host.activeFeatures_.count("frameAck") != 0;
    if (resumeWarm(host, wanted, acknowledged, channel)) return;
    startFresh(host, wanted, acknowledged, channel);
}

bool StreamStart::resumeWarm(HostModel& host, const Settings& wanted, bool acknowledged,
                             const std::shared_ptr<PacketConnection>& channel) {
    const auto& capture = host.capture_;
    if (!capture || !host.activeDeviceID_ || host.activeDeviceID_ != host.warmDeviceID_ ||
        wanted.restart || capture->fps != wanted.fps || capture->maxWidth != wanted.maxWidth ||
        capture->bitrate != wanted.bitrate ||
        (wanted.displayID && *wanted.displayID != capture->selected.id) ||
        !host.environment_.screen->pipeline->hasFrame() ||
        !host.environment_.power->displaysAwake())
        return false;
    host.warmDeviceID_.reset();
    host.sessionEpoch_ += 1;
    streamReady(host, *capture, acknowledged, channel);
    return true;
}

void StreamStart::startFresh(HostModel& host, const Settings& wanted, bool acknowledged,
                             const std::shared_ptr<PacketConnection>& channel) {
    host.warmDeviceID_.reset();
    host.capture_.reset();
    host.environment_.screen->retire();
    host.sessionEpoch_ += 1;
    host.streamReady_ = false;
    host.environment_.input->releaseAll();
    detachPipeline(host);

    auto permissions = ControlMessage::make("permissions");
    permissions.controlAllowed = false;
    channel->send(permissions);

    auto request = std::make_shared<Request>();
    request->epoch = host.sessionEpoch_;
    request->id = *host.activeID_;
    request->settings = wanted;
    request->acknowledged = acknowledged;
    request->channel = channel;
    host.captureTask_ =
        CaptureTask::after(host.captureTask_, host.environment_.mainQueue,
                           [weak = host.weak(), request](std::function<void()> finish) {
                               request->finish = std::move(finish);
                               auto self = weak.lock();
                               if (!self) return request->finish();
                               runCapture(*self, request);
                           });
}

void StreamStart::runCapture(HostModel& host, const std::shared_ptr<Request>& request) {
    if (!current(host, request->id, request->epoch)) return request->finish();
    wakeDisplays(host, [weak = host.weak(), request] {
        auto self = weak.lock();
        if (!self) return request->finish();
        listDisplays(*self, request);
    });
}

template <typename T>
std::function<void(TimeoutOutcome<T>)> StreamStart::continueOnMain(
    HostModel& host, std::shared_ptr<Request> request, std::function<void(HostModel&, T)> next) {
    return [weak = host.weak(), queue = host.environment_.mainQueue, request = std::move(request),
            next = std::move(next)](TimeoutOutcome<T> outcome) {
        queue->post([weak, request, next, outcome = std::move(outcome)]() mutable {
            auto self = weak.lock();
            if (!self) return request->finish();
            HostModel::ChangeScope scope(*self);
            if (auto* error = std::get_if<CaldrovexError>(&outcome))
                return captureFailedToStart(*self, request, error->what());
            next(*self, std::get<T>(std::move(outcome)));
        });
    };
}

void StreamStart::listDisplays(HostModel& host, const std::shared_ptr<Request>& request) {
    host.environment_.screen->displays(continueOnMain<std::vector<RemoteDisplay>>(
        host, request, [request](HostModel& self, std::vector<RemoteDisplay> displays) {
            if (!current(self, request->id, request->epoch)) return request->finish();
            request->displays = std::move(displays);
            startScreen(self, request);
        }));
}

void StreamStart::startScreen(HostModel& host, const std::shared_ptr<Request>& request) {
    const auto& wanted = request->settings;
    host.environment_.screen->start(
        wanted.displayID, wanted.maxWidth, wanted.fps,
        continueOnMain<RemoteDisplay>(host, request,
                                      [request](HostModel& self, RemoteDisplay selected) {
                                          captureStarted(self, request, std::move(selected));
                                      }));
}

void StreamStart::captureStarted(HostModel& host, const std::shared_ptr<Request>& request,
                                 RemoteDisplay selected) {
    if (!current(host, request->id, request->epoch)) {
        // Superseded while starting: the capture it started goes again, silently.
        host.environment_.screen->stop([request] { request->finish(); });
        return;
    }
    const auto& wanted = request->settings;
    host.capture_ = CaptureState{wanted.fps, wanted.maxWidth, wanted.bitrate, std::move(selected),
                                 request->displays};
    streamReady(host, *host.capture_, request->acknowledged, request->channel);
    if (host.environment_.power->screenLocked()) host.notice(request->channel, kScreenLocked);
    request->finish();
}

void StreamStart::captureFailedToStart(HostModel& host, const std::shared_ptr<Request>& request,
                                       const std::string& message) {
    // A superseded request stays silent; the session stays either way.
    if (current(host, request->id, request->epoch)) {
        auto reply = ControlMessage::make("hostUnavailable");
        reply.message = message;
        request->channel->send(reply);
    }
    request->finish();
}

void StreamStart::streamReady(HostModel& host, const CaptureState& capture, bool acknowledged,
                              const std::shared_ptr<PacketConnection>& channel) {
    host.environment_.input->releaseAll();
    host.environment_.input->displayID = capture.selected.id;
    host.streamReady_ = true;
    // The pipeline sends "streaming" itself, so that it precedes the first picture.
    host.environment_.screen->pipeline->attach(PacketConnectionSink::make(channel), capture.fps,
                                               capture.bitrate, acknowledged,
                                               streamingMessage(host, capture));
    Session::keepAwake(host);
}

ControlMessage StreamStart::streamingMessage(HostModel& host, const CaptureState& capture) {
    auto message = ControlMessage::make("streaming");
    message.displays = capture.displays;
    message.displayID = capture.selected.id;
    message.width = capture.selected.width;
    message.height = capture.selected.height;
    message.controlAllowed = host.controlPermitted();
    return message;
}

void StreamStart::stopCapture(HostModel& host) {
    host.capture_.reset();
    host.environment_.screen->retire();
    detachPipeline(host);
    host.captureTask_ =
        CaptureTask::after(host.captureTask_, host.environment_.mainQueue,
                           [screen = host.environment_.screen](std::function<void()> finish) {
                               screen->stop(std::move(finish));
                           });
}

void StreamStart::captureFailed(HostModel& host, const std::string& message) {
    host.sessionEpoch_ += 1;
    host.warmDeviceID_.reset();
    host.streamReady_ = false;
    host.environment_.input->releaseAll();
    if (host.active_) {
        auto reply = ControlMessage::make("hostUnavailable");
        reply.message = message;
        host.active_->send(reply);
    }
    stopCapture(host);
}

void StreamStart::detachPipeline(HostModel& host) {
    host.environment_.screen->pipeline->detach();
}

void StreamStart::requestKeyframe(HostModel& host) {
    host.environment_.screen->pipeline->requestKeyframe();
}

void StreamStart::wakeDisplays(HostModel& host, std::function<void()> done) {
    auto& power = *host.environment_.power;
    if (power.displaysAwake()) return done();
    power.declareUserActivity(kUserActivityName);
    pollDisplays(host, 0, std::move(done));
}

void StreamStart::pollDisplays(HostModel& host, int polls, std::function<void()> done) {
    host.environment_.mainQueue->postAfter(
        kWakePollSeconds, [weak = host.weak(), polls, done = std::move(done)]() mutable {
            auto self = weak.lock();
            if (!self) return done();
            if (self->environment_.power->displaysAwake() || polls >= kWakePolls - 1) {
                self->environment_.mainQueue->postAfter(kWakeSettleSeconds, std::move(done));
                return;
            }
            pollDisplays(*self, polls + 1, std::move(done));
        });
}

}  // namespace caldrovex
