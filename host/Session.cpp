#include "host/Session.h"

#include "host/CaptureControl.h"
#include "host/ClipboardReply.h"
#include "host/HostController.h"
#include "input/InputMessage.h"
#include "protocol/PacketConnection.h"

namespace caldrovex {

namespace {

constexpr const char* kSleepAssertionName = "Orvelo remote session";
constexpr const char* kDisplayAssertionName = "Orvelo display stream";
constexpr const char* kCopyNeedsControl =
    "Allow remote control in Orvelo Host to copy from this computer.";

}  // namespace

Session::Session(HostController& controller, CaptureControl& capture, Desktop desktop,
                 std::shared_ptr<PacketConnection> channel, std::string id, std::string deviceID,
                 std::set<std::string> features)
    : controller_(controller),
      capture_(capture),
      desktop_(std::move(desktop)),
      channel_(std::move(channel)),
      id_(std::move(id)),
      deviceID_(std::move(deviceID)),
      features_(std::move(features)),
      lastMessage_(desktop_.clock->monotonic()) {}

void Session::handle(const ControlMessage& message) {
    // Any message, known or not, shows the device is alive.
    lastMessage_ = desktop_.clock->monotonic();
    const std::string& type = message.type;
    if (type == "ping") {
        auto stats = channel_->pacer->stats();
        auto pong = ControlMessage::make("pong");
        pong.bitrate = stats.bitrate;
        pong.fps = stats.fps;
        channel_->send(pong);
    } else if (type == "stream") {
        capture_.beginStream(message, shared_from_this());
    } else if (type == "input") {
        if (controller_.controlPermitted()) input(message);
    } else if (type == "release") {
        desktop_.input->releaseAll();
    } else if (type == "keyframe") {
        capture_.requestKeyframe();
    } else if (type == "invite") {
        controller_.shareInvitation(channel_);
    } else if (type == "clipboard") {
        receiveClipboard(message);
    } else if (type == "clipboardRequest") {
        sendClipboard();
    } else if (type == "disconnect") {
        controller_.endSession(true, false);
    }
}

void Session::input(const ControlMessage& message) {
    desktop_.input->handle(InputMessage::from(message));
}

void Session::end(bool cancelConnection, bool keepCaptureWarm) {
    raiseEpoch();
    capture_.sessionEnded(deviceID_, keepCaptureWarm);
    if (cancelConnection) channel_->cancel();
    streamReady_ = false;
    desktop_.input->releaseAll();
    releaseAssertions();
}

void Session::streamStopped() {
    streamReady_ = false;
    desktop_.input->releaseAll();
}

void Session::streamStarted(uint32_t displayID) {
    desktop_.input->releaseAll();
    desktop_.input->displayID = displayID;
    streamReady_ = true;
}

void Session::keepAwake() {
    if (sleepAssertion_ != 0) return;
    auto& power = *desktop_.power;
    sleepAssertion_ =
        power.createAssertion(PowerControl::Assertion::preventIdleSystemSleep, kSleepAssertionName);
    displaySleepAssertion_ = power.createAssertion(PowerControl::Assertion::preventIdleDisplaySleep,
                                                   kDisplayAssertionName);
}

void Session::releaseAssertions() {
    auto& power = *desktop_.power;
    for (uint32_t* id : {&sleepAssertion_, &displaySleepAssertion_}) {
        if (*id != 0) power.releaseAssertion(*id);
        *id = 0;
    }
}

void Session::notice(PacketConnection& channel, const std::string& text) {
    auto message = ControlMessage::make("notice");
    message.message = text;
    channel.send(message);
}

void Session::receiveClipboard(const ControlMessage& message) {
    if (!controller_.controlPermitted() || !message.text) return;
    // Pasting what never reached the clipboard would paste something else.
    if (auto unavailable = desktop_.clipboard->unavailable()) return notice(*unavailable);
    desktop_.clipboard->setText(*message.text);
    if (message.event != "paste") return;
    for (bool down : {true, false}) {
        auto key = ControlMessage::make("input");
        key.event = "key";
        key.keyCode = kKeyCodeV;
        key.modifiers = kCommandFlag;
        key.keyDown = down;
        input(key);
    }
}

void Session::sendClipboard() {
    if (!controller_.controlPermitted()) return notice(kCopyNeedsControl);
    if (auto unavailable = desktop_.clipboard->unavailable()) return notice(*unavailable);
    channel_->send(ClipboardReply::make(desktop_.clipboard->text().value_or("")));
}

}  // namespace caldrovex
