#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "host/Clipboard.h"
#include "host/PowerControl.h"
#include "input/InputController.h"
#include "platform/Clock.h"
#include "protocol/ControlMessage.h"

namespace caldrovex {

class CaptureControl;
class HostController;
class PacketConnection;

// One admitted device's session: its connection, its control messages, keeping the machine
// awake while the device watches, the clipboard exchange, and the session's end. Made by the
// controller when admission lets a connection in, dropped when the session ends; a returning
// device gets a new one.
//
// The epoch names the session's current stream request: starting a stream, a capture
// failure and the session's end raise it, and capture work started for an older epoch
// abandons itself at its next step.
//
// Contract: owned through std::shared_ptr by the controller, on its main queue; capture work
// holds it weakly. The controller and capture control outlive it.
class Session : public std::enable_shared_from_this<Session> {
public:
    // What a session reaches on the desktop.
    struct Desktop {
        std::shared_ptr<InputController> input;
        ClipboardPtr clipboard;
        PowerControlPtr power;
        platform::ClockPtr clock;
    };

    // The device's key code of V and the Command flag, for the paste after a "paste".
    static constexpr uint16_t kKeyCodeV = 9;
    static constexpr uint64_t kCommandFlag = 1u << 20;

    Session(HostController& controller, CaptureControl& capture, Desktop desktop,
            std::shared_ptr<PacketConnection> channel, std::string id, std::string deviceID,
            std::set<std::string> features);

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A control message of the session's connection.
    void handle(const ControlMessage& message);

    // Ends the session, called by the controller's `endSession` once the session is no longer
    // the running one: raises the epoch, holds the display warm for this device or stops the
    // capture, optionally cancels the connection, and lets go of held input and of the power
    // assertions.
    void end(bool cancelConnection, bool keepCaptureWarm);

    // ---- The stream, as capture control moves it along
    // Raises the epoch and returns it: earlier stream work is stale from now on.
    int raiseEpoch() { return ++epoch_; }
    // Whether work started at `epoch` is still the session's current request.
    bool isCurrent(int epoch) const { return epoch == epoch_; }
    // The stream stopped or is being replaced: input is let go and control is not permitted.
    void streamStopped();
    // The stream of display `displayID` is ready: input starts afresh on that display.
    void streamStarted(uint32_t displayID);
    // Takes the power assertions unless they are held already.
    void keepAwake();

    // Sends {"type": "notice", "message": text} to the device.
    void notice(const std::string& text) const { notice(*channel_, text); }
    static void notice(PacketConnection& channel, const std::string& text);

    const std::shared_ptr<PacketConnection>& channel() const { return channel_; }
    // The connection's intake id.
    const std::string& id() const { return id_; }
    const std::string& deviceID() const { return deviceID_; }
    // Capability names the device sent at admission.
    const std::set<std::string>& features() const { return features_; }
    // The device acknowledges video frames ("frameAck"): the pacer measures the path.
    bool acknowledgesVideo() const { return features_.count("frameAck") != 0; }
    // Capture runs and the pipeline sends to this session.
    bool streamReady() const { return streamReady_; }
    int epoch() const { return epoch_; }
    // Monotonic time of the session's last control message.
    double lastMessage() const { return lastMessage_; }

private:
    void input(const ControlMessage& message);
    void receiveClipboard(const ControlMessage& message);
    void sendClipboard();
    void releaseAssertions();

    HostController& controller_;
    CaptureControl& capture_;
    const Desktop desktop_;
    const std::shared_ptr<PacketConnection> channel_;
    const std::string id_;
    const std::string deviceID_;
    const std::set<std::string> features_;
    double lastMessage_;
    int epoch_ = 0;
    bool streamReady_ = false;
    // Power assertion ids, 0 when not held.
    uint32_t sleepAssertion_ = 0;
    uint32_t displaySleepAssertion_ = 0;
};

}  // namespace caldrovex
