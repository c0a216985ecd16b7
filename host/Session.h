#pragma once

#include <memory>

#include "protocol/ControlMessage.h"

namespace caldrovex {

class HostModel;
class PacketConnection;

// The admitted device's connection: its control messages, keeping the machine awake while
// it watches, the clipboard exchange, and the end of the session with the warm hold that
// keeps the captured display ready for the same device's quick return.
//
// Starting the stream and stopping the capture are the StreamStart half.
//
// Part of HostModel, on its main queue; reads and writes the host's fields.
class Session {
public:
    Session() = delete;

    static constexpr const char* kWarmHoldStatus =
        "Connection dropped · display held 30 s for a quick return";
    // How long a display is held for the device whose connection ended.
    static constexpr double kWarmGraceSeconds = 30;
    // The device's key code of V and the Command flag, for the paste after a "paste".
    static constexpr uint16_t kKeyCodeV = 9;
    static constexpr uint64_t kCommandFlag = 1u << 20;

    // A message of the session's connection.
    static void handle(HostModel& host, const ControlMessage& message,
                       const std::shared_ptr<PacketConnection>& channel);

    // Ends the session (see HostModel::endSession). With no session it still raises the
    // epoch, releases held input and power assertions, and recomputes the status.
    static void end(HostModel& host, bool cancelConnection, bool keepCaptureWarm);

    // Takes the power assertions unless they are held already.
    static void keepAwake(HostModel& host);

private:
    static void holdWarm(HostModel& host);
    static void warmHoldExpired(HostModel& host, const std::string& token);
    static void releaseAssertions(HostModel& host);
    static void input(HostModel& host, const ControlMessage& message);
    static void receiveClipboard(HostModel& host, const ControlMessage& message);
    static void sendClipboard(HostModel& host, const std::shared_ptr<PacketConnection>& channel);
};

}  // namespace caldrovex
