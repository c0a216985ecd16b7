#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/CaptureState.h"
#include "protocol/ControlMessage.h"
#include "video/TimeoutHelper.h"

namespace caldrovex {

class HostModel;
class PacketConnection;

// Turns a session's "stream" request into a running capture: checks the screen permission,
// bounds the settings, resumes a display held warm for the same device when nothing changed,
// and otherwise starts a fresh capture in a chain of capture tasks that wakes the displays,
// lists them, starts the screen streamer and attaches the video pipeline to the session.
// Also stopping the capture and reacting to its failure.
//
// Capture tasks run one after another: each waits for its predecessor, and every step after
// an asynchronous wait checks that its request is still current (same session, same epoch),
// so a newer request or the end of the session makes an older task abandon itself.
//
// Part of HostModel, on its main queue; reads and writes the host's fields.
class StreamStart {
public:
    StreamStart() = delete;

    // The request's settings after defaults and bounds.
    struct Settings {
        int fps = 30;
        int maxWidth = 1920;
        int bitrate = 6'000'000;
        std::optional<uint32_t> displayID;
        bool restart = false;
    };
    static Settings settings(const ControlMessage& message);

    static constexpr const char* kNoScreenPermission =
        "Allow Screen Recording for Orvelo Host on the Mac, then reopen the host.";
    static constexpr const char* kScreenLocked =
        "This Mac's screen is locked. Type your Mac password with the keyboard to unlock it.";
    static constexpr const char* kUserActivityName = "Orvelo remote session";
    // Waking displays: this many polls this far apart, then one last pause for the displays
    // to settle before capture starts.
    static constexpr int kWakePolls = 40;
    static constexpr double kWakePollSeconds = 0.1;
    static constexpr double kWakeSettleSeconds = 0.4;

    // A "stream" message of the session whose connection is `channel`.
    static void begin(HostModel& host, const ControlMessage& message,
                      const std::shared_ptr<PacketConnection>& channel);
    // Stops the running capture (after the capture tasks before it) and detaches the
    // pipeline.
    static void stopCapture(HostModel& host);
    // The screen streamer reported that the running capture failed.
    static void captureFailed(HostModel& host, const std::string& message);
    // The pipeline stops sending to its connection; capture may go on.
    static void detachPipeline(HostModel& host);
    // The device asked for a key frame.
    static void requestKeyframe(HostModel& host);

private:
    struct Request;
    static bool resumeWarm(HostModel& host, const Settings& settings, bool acknowledged,
                           const std::shared_ptr<PacketConnection>& channel);
    static void startFresh(HostModel& host, const Settings& settings, bool acknowledged,
                           const std::shared_ptr<PacketConnection>& channel);
    static void runCapture(HostModel& host, const std::shared_ptr<Request>& request);
    // Wraps a continuation for a screen streamer completion, which may come on any thread:
    // it runs on the main queue with the value, a failure is reported to the device instead,
    // and a host that is gone just ends the capture task.
    template <typename T>
    static std::function<void(TimeoutOutcome<T>)> continueOnMain(
        HostModel& host, std::shared_ptr<Request> request, std::function<void(HostModel&, T)> next);
    static void listDisplays(HostModel& host, const std::shared_ptr<Request>& request);
    static void startScreen(HostModel& host, const std::shared_ptr<Request>& request);
    static void captureStarted(HostModel& host, const std::shared_ptr<Request>& request,
                               RemoteDisplay selected);
    static void captureFailedToStart(HostModel& host, const std::shared_ptr<Request>& request,
                                     const std::string& message);
    static void streamReady(HostModel& host, const CaptureState& capture, bool acknowledged,
                            const std::shared_ptr<PacketConnection>& channel);
    static ControlMessage streamingMessage(HostModel& host, const CaptureState& capture);
    static void wakeDisplays(HostModel& host, std::function<void()> done);
    static void pollDisplays(HostModel& host, int polls, std::function<void()> done);
};

}  // namespace caldrovex
