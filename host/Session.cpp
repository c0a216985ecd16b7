#include "host/Session.h"

#include "host/ClipboardReply.h"
#include "host/HostModel.h"
#include "host/Invitations.h"
#include "host/StreamStart.h"
#include "input/InputMessage.h"
#include "trust/Uuid.h"

namespace caldrovex {

namespace {

constexpr const char* kSleepAssertionName = "Orvelo remote session";
constexpr const char* kDisplayAssertionName = "Orvelo display stream";
constexpr const char* kCopyNeedsControl =
    "Allow remote control in Orvelo Host to copy from this computer.";

}  // namespace

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
    } else if (type == "stream") {
        StreamStart::begin(host, message, channel);
    } else if (type == "input") {
        if (host.controlPermitted()) input(host, message);
    } else if (type == "release") {
        host.environment_.input->releaseAll();
    } else if (type == "keyframe") {
        StreamStart::requestKeyframe(host);
    } else if (type == "invite") {
        Invitations::share(host, channel);
    } else if (type == "clipboard") {
        receiveClipboard(host, message);
    } else if (type == "clipboardRequest") {
        sendClipboard(host, channel);
    } else if (type == "disconnect") {
        host.endSession(true, false);
    }
}

void Session::input(HostModel& host, const ControlMessage& message) {
    host.environment_.input->handle(InputMessage::from(message));
}

void Session::end(HostModel& host, bool cancelConnection, bool keepCaptureWarm) {
    host.sessionEpoch_ += 1;
    if (keepCaptureWarm && host.capture_ && host.activeDeviceID_) {
        holdWarm(host);
    } else {
        host.warmDeviceID_.reset();
        StreamStart::stopCapture(host);
    }

    if (cancelConnection && host.active_) host.active_->cancel();
    host.active_.reset();
    host.activeID_.reset();
    host.activeDeviceID_.reset();
    host.published_.activeDevice.reset();
    host.activeFeatures_.clear();
    host.streamReady_ = false;
    host.environment_.input->releaseAll();
    releaseAssertions(host);

    if (host.published_.running) {
        if (!host.warmDeviceID_)
            host.updateStatus();
        else
            host.published_.status = kWarmHoldStatus;
    }
}

void Session::holdWarm(HostModel& host) {
    // Capture keeps running; its frames have nowhere to go until the device returns.
    StreamStart::detachPipeline(host);
    // A device already held keeps its first deadline: a reconnect that drops again before
    // streaming must not stretch the hold.
    if (host.warmDeviceID_ == host.activeDeviceID_) return;
    host.warmDeviceID_ = host.activeDeviceID_;
    host.warmToken_ = Uuid::makeUpper();
    host.environment_.mainQueue->postAfter(kWarmGraceSeconds,
                                           [weak = host.weak(), token = host.warmToken_] {
                                               if (auto self = weak.lock())
                                                   warmHoldExpired(*self, token);
                                           });
}

void Session::warmHoldExpired(HostModel& host, const std::string& token) {
    if (host.warmToken_ != token || !host.warmDeviceID_) return;
    HostModel::ChangeScope scope(host);
    host.warmDeviceID_.reset();
    StreamStart::stopCapture(host);
    if (!host.active_) host.updateStatus();
}

void Session::keepAwake(HostModel& host) {
    if (host.sleepAssertion_ != 0) return;
    auto& power = *host.environment_.power;
    host.sleepAssertion_ =
        power.createAssertion(PowerControl::Assertion::preventIdleSystemSleep, kSleepAssertionName);
    host.displaySleepAssertion_ = power.createAssertion(
        PowerControl::Assertion::preventIdleDisplaySleep, kDisplayAssertionName);
}

void Session::releaseAssertions(HostModel& host) {
    auto& power = *host.environment_.power;
    for (uint32_t* id : {&host.sleepAssertion_, &host.displaySleepAssertion_}) {
        if (*id != 0) power.releaseAssertion(*id);
        *id = 0;
    }
}

void Session::receiveClipboard(HostModel& host, const ControlMessage& message) {
    if (!host.controlPermitted() || !message.text) return;
    host.environment_.clipboard->setText(*message.text);
    if (message.event != "paste") return;
    for (bool down : {true, false}) {
        auto key = ControlMessage::make("input");
        key.event = "key";
        key.keyCode = kKeyCodeV;
        key.modifiers = kCommandFlag;
        key.keyDown = down;
        input(host, key);
    }
}

void Session::sendClipboard(HostModel& host, const std::shared_ptr<PacketConnection>& channel) {
    if (!host.controlPermitted()) return host.notice(channel, kCopyNeedsControl);
    channel->send(ClipboardReply::make(host.environment_.clipboard->text().value_or("")));
}

}  // namespace caldrovex
