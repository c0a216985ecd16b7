#include "host/Session.h"

#include "host/HostModel.h"
#include "host/Invitations.h"

namespace caldrovex {

void Session::handle(HostModel& host, const ControlMessage& message,
                     const std::shared_ptr<PacketConnection>& channel) {
    // Any message, known or not, shows the device is alive.
    host.lastMessage_ = host.now();
    const std::string& type = message.type;
    if (type == "ping") {
        auto stats = channel->pacer->stats();
        auto pong = ControlMessage::make("pong");
        pong.bitrate = stats.bitrate;
        pong.fps = stats.fps;
        channel->send(pong);
    } else if (type == "invite") {
        Invitations::share(host, channel);
    } else if (type == "disconnect") {
        host.endSession(true, false);
    }
    // "stream", "input", "release", "keyframe", "clipboard" and "clipboardRequest" belong to
    // the stream half; everything else is ignored.
}

void Session::end(HostModel& host, bool cancelConnection, bool keepCaptureWarm) {
    host.sessionEpoch_ += 1;
    // Holding the display warm needs a running capture; with none, there is nothing to
    // hold and nothing to stop.
    (void)keepCaptureWarm;
    host.warmDeviceID_.reset();
    stopCapture(host);

    if (cancelConnection && host.active_) host.active_->cancel();
    host.active_.reset();
    host.activeID_.reset();
    host.activeDeviceID_.reset();
    host.published_.activeDevice.reset();
    host.activeFeatures_.clear();
    host.streamReady_ = false;
    // Releasing input, power assertions and the curtain follow here with their components.

    if (host.published_.running) {
        if (!host.warmDeviceID_) host.updateStatus();
        else host.published_.status = kWarmHoldStatus;
    }
}

void Session::stopCapture(HostModel&) {}

}  // namespace caldrovex
