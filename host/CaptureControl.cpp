#include "host/CaptureControl.h"

#include <algorithm>

#include "host/HostController.h"
#include "host/Session.h"
#include "protocol/PacketConnection.h"
#include "trust/Uuid.h"
#include "video/PacketConnectionSink.h"

namespace caldrovex {

// One fresh start: what the capture steps need, and the session and epoch that keep them
// current.
struct CaptureControl::Request {
    std::weak_ptr<Session> session;
    int epoch = 0;
    StreamSettings settings;
    // The display asked for; absent: the streamer's choice.
    std::optional<uint32_t> displayID;
    std::vector<RemoteDisplay> displays;
    std::function<void()> finish;
};

namespace {

void sendUnavailable(PacketConnection& channel, const std::string& message) {
    auto reply = ControlMessage::make("hostUnavailable");
    reply.message = message;
    channel.send(reply);
}

}  // namespace

StreamSettings CaptureControl::settings(const ControlMessage& message) {
    return StreamSettings::bounded(message.fps, message.maxWidth, message.bitrate);
}

std::shared_ptr<CaptureControl> CaptureControl::make(HostController& controller,
                                                     platform::QueuePtr mainQueue,
                                                     std::shared_ptr<ScreenStreamer> screen,
                                                     PowerControlPtr power,
                                                     PermissionProbePtr permissions) {
    std::shared_ptr<CaptureControl> control(new CaptureControl(controller, std::move(mainQueue),
                                                               std::move(screen), std::move(power),
                                                               std::move(permissions)));
    control->watchFailures();
    return control;
}

CaptureControl::CaptureControl(HostController& controller, platform::QueuePtr mainQueue,
                               std::shared_ptr<ScreenStreamer> screen, PowerControlPtr power,
                               PermissionProbePtr permissions)
    : controller_(controller),
      mainQueue_(std::move(mainQueue)),
      screen_(std::move(screen)),
      power_(std::move(power)),
      permissions_(std::move(permissions)) {}

void CaptureControl::watchFailures() {
    // Failures arrive on the capture queue; only one about the running capture counts.
    screen_->setErrorCallback(
        [weak = weak(), queue = mainQueue_](const std::string& message, int64_t generation) {
            queue->post([weak, message, generation] {
                auto self = weak.lock();
                if (!self || !self->screen_->isCurrent(generation)) return;
                HostController::ChangeScope scope(self->controller_);
                self->captureFailed(message);
            });
        });
}

// ---- Starting the stream ----

void CaptureControl::beginStream(const ControlMessage& message,
                                 const std::shared_ptr<Session>& session) {
    if (!permissions_->screenRecording()) {
        auto refusal = ControlMessage::make("hostPermission");
        refusal.message = permissions_->screenRecordingProblem().value_or(kNoScreenPermission);
        session->channel()->send(refusal);
        return;
    }
    const StreamSettings wanted = settings(message);
    if (resumeWarm(wanted, message, *session)) return;
    startFresh(wanted, message.displayID, session);
}

bool CaptureControl::resumeWarm(const StreamSettings& wanted, const ControlMessage& message,
                                Session& session) {
    if (!capture_ || session.deviceID() != warmDeviceID_ || message.restart.value_or(false) ||
        capture_->settings != wanted ||
        (message.displayID && *message.displayID != capture_->selected.id) ||
        !screen_->hasFrame() || !power_->displaysAwake())
        return false;
    warmDeviceID_.reset();
    session.raiseEpoch();
    streamReady(*capture_, session);
    return true;
}

void CaptureControl::startFresh(const StreamSettings& wanted, std::optional<uint32_t> displayID,
                                const std::shared_ptr<Session>& session) {
    warmDeviceID_.reset();
    capture_.reset();
    screen_->retire();
    auto request = std::make_shared<Request>();
    request->session = session;
    request->epoch = session->raiseEpoch();
    request->settings = wanted;
    request->displayID = displayID;
    session->streamStopped();
    screen_->detach();

    auto permissions = ControlMessage::make("permissions");
    permissions.controlAllowed = false;
    session->channel()->send(permissions);

    captureTask_ = CaptureTask::after(captureTask_, mainQueue_,
                                      [weak = weak(), request](std::function<void()> finish) {
                                          request->finish = std::move(finish);
                                          auto self = weak.lock();
                                          if (!self) return request->finish();
                                          self->runCapture(request);
                                      });
}

bool CaptureControl::current(const Request& request) const {
    auto session = request.session.lock();
    return session && session == controller_.session() && session->isCurrent(request.epoch);
}

void CaptureControl::runCapture(const std::shared_ptr<Request>& request) {
    if (!current(*request)) return request->finish();
    wakeDisplays([weak = weak(), request] {
        auto self = weak.lock();
        if (!self) return request->finish();
        self->listDisplays(request);
    });
}

template <typename T>
std::function<void(TimeoutOutcome<T>)> CaptureControl::continueOnMain(
    std::shared_ptr<Request> request, std::function<void(CaptureControl&, T)> next) {
    return [weak = weak(), queue = mainQueue_, request = std::move(request),
            next = std::move(next)](TimeoutOutcome<T> outcome) {
        queue->post([weak, request, next, outcome = std::move(outcome)]() mutable {
            auto self = weak.lock();
            if (!self) return request->finish();
            HostController::ChangeScope scope(self->controller_);
            if (auto* error = std::get_if<CaldrovexError>(&outcome))
                return self->captureFailedToStart(request, error->what());
            next(*self, std::get<T>(std::move(outcome)));
        });
    };
}

void CaptureControl::listDisplays(const std::shared_ptr<Request>& request) {
    screen_->displays(continueOnMain<std::vector<RemoteDisplay>>(
        request, [request](CaptureControl& self, std::vector<RemoteDisplay> displays) {
            if (!self.current(*request)) return request->finish();
            request->displays = std::move(displays);
            self.startScreen(request);
        }));
}

void CaptureControl::startScreen(const std::shared_ptr<Request>& request) {
    const auto& wanted = request->settings;
    screen_->start(request->displayID, static_cast<int>(wanted.maxWidth),
                   static_cast<int>(wanted.fps),
                   continueOnMain<RemoteDisplay>(
                       request, [request](CaptureControl& self, RemoteDisplay selected) {
                           self.captureStarted(request, std::move(selected));
                       }));
}

void CaptureControl::captureStarted(const std::shared_ptr<Request>& request,
                                    RemoteDisplay selected) {
    auto session = request->session.lock();
    if (!session || !current(*request)) {
        // Superseded while starting: the capture it started goes again, silently.
        screen_->stop([request] { request->finish(); });
        return;
    }
    capture_ = CaptureState{request->settings, std::move(selected), request->displays};
    streamReady(*capture_, *session);
    if (power_->screenLocked()) session->notice(kScreenLocked);
    request->finish();
}

void CaptureControl::captureFailedToStart(const std::shared_ptr<Request>& request,
                                          const std::string& message) {
    // A superseded request stays silent; the session stays either way.
    if (current(*request)) sendUnavailable(*request->session.lock()->channel(), message);
    request->finish();
}

void CaptureControl::streamReady(const CaptureState& capture, Session& session) {
    session.streamStarted(capture.selected.id);
    // The pipeline sends "streaming" itself, so that it precedes the first picture.
    screen_->attach(PacketConnectionSink::make(session.channel()), capture.settings,
                    session.acknowledgesVideo(), streamingMessage(capture));
    session.keepAwake();
}

ControlMessage CaptureControl::streamingMessage(const CaptureState& capture) const {
    auto message = ControlMessage::make("streaming");
    message.displays = capture.displays;
    message.displayID = capture.selected.id;
    message.width = capture.selected.width;
    message.height = capture.selected.height;
    message.controlAllowed = controller_.controlPermitted();
    return message;
}

void CaptureControl::wakeDisplays(std::function<void()> done) {
    if (power_->displaysAwake()) return done();
    power_->declareUserActivity(kUserActivityName);
    pollDisplays(0, std::move(done));
}

void CaptureControl::pollDisplays(int polls, std::function<void()> done) {
    mainQueue_->postAfter(kWakePollSeconds,
                          [weak = weak(), polls, done = std::move(done)]() mutable {
                              auto self = weak.lock();
                              if (!self) return done();
                              if (self->power_->displaysAwake() || polls >= kWakePolls - 1) {
                                  self->mainQueue_->postAfter(kWakeSettleSeconds, std::move(done));
                                  return;
                              }
                              self->pollDisplays(polls + 1, std::move(done));
                          });
}

// ---- Stopping, failing, holding warm ----

void CaptureControl::stopCapture() {
    capture_.reset();
    screen_->retire();
    screen_->detach();
    captureTask_ = CaptureTask::after(
        captureTask_, mainQueue_,
        [screen = screen_](std::function<void()> finish) { screen->stop(std::move(finish)); });
}

void CaptureControl::captureFailed(const std::string& message) {
    warmDeviceID_.reset();
    if (auto session = controller_.session()) {
        session->raiseEpoch();
        session->streamStopped();
        sendUnavailable(*session->channel(), message);
    }
    stopCapture();
}

void CaptureControl::sessionEnded(const std::optional<std::string>& deviceID,
                                  bool keepCaptureWarm) {
    if (keepCaptureWarm && capture_ && deviceID) return holdWarm(*deviceID);
    warmDeviceID_.reset();
    stopCapture();
}

void CaptureControl::deviceAdmitted(const std::string& deviceID) {
    if (!warmDeviceID_ || *warmDeviceID_ == deviceID) return;
    warmDeviceID_.reset();
    stopCapture();
}

void CaptureControl::holdWarm(const std::string& deviceID) {
    // Capture keeps running; its frames have nowhere to go until the device returns.
    screen_->detach();
    // A device already held keeps its first deadline: a reconnect that drops again before
    // streaming must not stretch the hold.
    if (warmDeviceID_ == deviceID) return;
    warmDeviceID_ = deviceID;
    warmToken_ = Uuid::makeUpper();
    mainQueue_->postAfter(kWarmGraceSeconds, [weak = weak(), token = warmToken_] {
        if (auto self = weak.lock()) self->warmHoldExpired(token);
    });
}

void CaptureControl::warmHoldExpired(const std::string& token) {
    if (warmToken_ != token || !warmDeviceID_) return;
    HostController::ChangeScope scope(controller_);
    warmDeviceID_.reset();
    stopCapture();
    if (!controller_.session()) controller_.updateStatus();
}

}  // namespace caldrovex
