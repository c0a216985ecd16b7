#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/CaptureState.h"
#include "host/CaptureTask.h"
#include "host/PermissionProbe.h"
#include "host/PowerControl.h"
#include "platform/Queue.h"
#include "protocol/ControlMessage.h"
#include "protocol/StreamSettings.h"
#include "video/ScreenStreamer.h"
#include "video/TimeoutHelper.h"

namespace caldrovex {

class HostController;
class Session;

// The capture of the shared display, across sessions. Turns a session's "stream" request into
// a running capture: checks the screen permission, bounds the settings, resumes a display
// held warm for the same device when nothing changed, and otherwise starts a fresh capture in
// a chain of capture tasks that wakes the displays, lists them, starts the screen streamer
// and attaches it to the session's connection. Holds the display warm for 30 s after a
// session's connection dropped, stops the capture, and reacts to its failure.
//
// Capture tasks run one after another: each waits for its predecessor, and every step after
// an asynchronous wait checks that its request is still current (same session, same epoch),
// so a newer request or the end of the session makes an older task abandon itself.
//
// Contract: made with `make` and owned by the controller for its whole life, on its main
// queue. Work it queues (capture steps, the warm hold's expiry, display polls, the screen
// streamer's reports) holds it weakly. The screen streamer, power control and permission
// probe must outlive it.
class CaptureControl : public std::enable_shared_from_this<CaptureControl> {
public:
    // A "stream" request's settings after defaults and bounds.
    static StreamSettings settings(const ControlMessage& message);

    static constexpr const char* kNoScreenPermission =
        "Allow access to the X display for Orvelo Host on this computer, then reopen the host.";
    static constexpr const char* kScreenLocked =
        "This computer's screen is locked. Type your password with the keyboard to unlock it.";
    static constexpr const char* kWarmHoldStatus =
        "Connection dropped · display held 30 s for a quick return";
    // How long a display is held for the device whose connection ended.
    static constexpr double kWarmGraceSeconds = 30;
    static constexpr const char* kUserActivityName = "Orvelo remote session";
    // Waking displays: this many polls this far apart, then one last pause for the displays
    // to settle before capture starts.
    static constexpr int kWakePolls = 40;
    static constexpr double kWakePollSeconds = 0.1;
    static constexpr double kWakeSettleSeconds = 0.4;

    static std::shared_ptr<CaptureControl> make(HostController& controller,
                                                platform::QueuePtr mainQueue,
                                                std::shared_ptr<ScreenStreamer> screen,
                                                PowerControlPtr power,
                                                PermissionProbePtr permissions);

    CaptureControl(const CaptureControl&) = delete;
    CaptureControl& operator=(const CaptureControl&) = delete;

    // A "stream" message of `session`.
    void beginStream(const ControlMessage& message, const std::shared_ptr<Session>& session);
    // The device asked for a key frame.
    void requestKeyframe() { screen_->requestKeyframe(); }

    // The session of `deviceID` (none: nullopt) ended. With `keepCaptureWarm` and a capture
    // running, the display is held for that device's return; otherwise the capture stops.
    void sessionEnded(const std::optional<std::string>& deviceID, bool keepCaptureWarm);
    // `deviceID` was admitted: a display held for another device is released.
    void deviceAdmitted(const std::string& deviceID);
    // Stops the running capture (after the capture tasks before it) and detaches the stream
    // from its connection.
    void stopCapture();
    // The screen streamer reported that the running capture failed.
    void captureFailed(const std::string& message);

    // The running capture's settings; absent while nothing is captured.
    const std::optional<CaptureState>& capture() const { return capture_; }
    // The device for which the capture is held after its connection ended.
    const std::optional<std::string>& warmDeviceID() const { return warmDeviceID_; }

private:
    struct Request;

    CaptureControl(HostController& controller, platform::QueuePtr mainQueue,
                   std::shared_ptr<ScreenStreamer> screen, PowerControlPtr power,
                   PermissionProbePtr permissions);
    void watchFailures();
    std::weak_ptr<CaptureControl> weak() { return weak_from_this(); }

    bool resumeWarm(const StreamSettings& settings, const ControlMessage& message,
                    Session& session);
    void startFresh(const StreamSettings& settings, std::optional<uint32_t> displayID,
                    const std::shared_ptr<Session>& session);
    bool current(const Request& request) const;
    void runCapture(const std::shared_ptr<Request>& request);
    // Wraps a continuation for a screen streamer completion, which may come on any thread:
    // it runs on the main queue with the value, a failure is reported to the device instead,
    // and capture control that is gone just ends the capture task.
    template <typename T>
    std::function<void(TimeoutOutcome<T>)> continueOnMain(
        std::shared_ptr<Request> request, std::function<void(CaptureControl&, T)> next);
    void listDisplays(const std::shared_ptr<Request>& request);
    void startScreen(const std::shared_ptr<Request>& request);
    void captureStarted(const std::shared_ptr<Request>& request, RemoteDisplay selected);
    void captureFailedToStart(const std::shared_ptr<Request>& request, const std::string& message);
    void streamReady(const CaptureState& capture, Session& session);
    ControlMessage streamingMessage(const CaptureState& capture) const;
    void wakeDisplays(std::function<void()> done);
    void pollDisplays(int polls, std::function<void()> done);
    void holdWarm(const std::string& deviceID);
    void warmHoldExpired(const std::string& token);

    HostController& controller_;
    const platform::QueuePtr mainQueue_;
    const std::shared_ptr<ScreenStreamer> screen_;
    const PowerControlPtr power_;
    const PermissionProbePtr permissions_;

    // The newest link of the chain of capture starts and stops.
    std::shared_ptr<CaptureTask> captureTask_;
    std::optional<CaptureState> capture_;
    std::optional<std::string> warmDeviceID_;
    // Names the current warm hold; an older hold's expiry finds it changed and does nothing.
    std::string warmToken_;
};

}  // namespace caldrovex
