#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/AsioMainQueue.h"
#include "protocol/ControlMessage.h"
#include "tools/device/DeviceClient.h"
#include "tools/device/DeviceLogin.h"
#include "tools/device/FrameFigures.h"
#include "tools/device/StreamOptions.h"
#include "video/H264Decoder.h"

namespace caldrovex::device {

// The device as a viewer: authenticates (announcing "frameAck"), asks for the stream,
// decodes and acknowledges every frame, pings every few seconds, and reports on standard
// output: every host message as one JSON line, per-second figures, and (when asked) one line
// per decoded frame. Commands from standard input drive it (see `command`).
//
// Contract: made and used on `queue` (the device's main queue, run by `run`); standard input
// is read on a thread of its own whose lines are posted to the queue.
class StreamViewer : public std::enable_shared_from_this<StreamViewer> {
public:
    static constexpr double kPingSeconds = 5;

    static std::shared_ptr<StreamViewer> make(std::shared_ptr<platform::AsioMainQueue> queue,
                                              DeviceClient::Target target,
                                              ControlMessage authenticate, StreamOptions options,
                                              double timeoutSeconds);

    // Streams until the time is up, "quit"/"disconnect", SIGINT or SIGTERM, or the host ends
    // the connection; returns the exit status.
    int run();

    // One line of standard input: move X Y, click X Y, key CODE, text STRING, clipboard TEXT,
    // paste TEXT, clipboardRequest, invite, keyframe, release, disconnect, drop, reconnect.
    void command(const std::string& line);

private:
    StreamViewer(std::shared_ptr<platform::AsioMainQueue> queue, DeviceClient::Target target,
                 ControlMessage authenticate, StreamOptions options, double timeoutSeconds);

    void login();
    void admitted(const std::shared_ptr<DeviceClient>& client);
    void received(const ControlMessage& message);
    void video(const std::vector<uint8_t>& body);
    void closed(const std::optional<std::string>& reason);
    void sendStreamRequest();
    void send(const ControlMessage& message);
    void tick();
    void end(int status);
    void savePicture();

    std::weak_ptr<StreamViewer> weak() { return weak_from_this(); }

    const std::shared_ptr<platform::AsioMainQueue> queue_;
    const DeviceClient::Target target_;
    const ControlMessage authenticate_;
    const StreamOptions options_;
    const double timeoutSeconds_;

    std::shared_ptr<DeviceLogin> login_;
    std::shared_ptr<DeviceClient> client_;
    // A connection this device cut on purpose ("drop"): its end is not the stream's end.
    bool dropping_ = false;
    std::optional<ControlMessage> videoConfig_;
    std::unique_ptr<H264Decoder> decoder_;
    std::optional<DecodedPicture> latest_;
    FrameFigures figures_;
    double startedAt_ = 0;
    double lastPing_ = 0;
    std::optional<int> status_;
};

}  // namespace caldrovex::device
