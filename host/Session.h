#pragma once

#include <memory>

#include "protocol/ControlMessage.h"

namespace caldrovex {

class HostModel;
class PacketConnection;

// The admitted device's connection: its control messages and the end of the session.
//
// This covers what concerns the connection and the host's status: liveness ("ping" and the
// tick's silence check), "invite", "disconnect", and ending the session. The stream half
// (capture, the warm hold of the display, input, clipboard, power and curtain) plugs in at
// the places marked below as it arrives; until then those messages are ignored like unknown
// ones.
//
// Part of HostModel, on its main queue; reads and writes the host's fields.
class Session {
public:
    Session() = delete;

    static constexpr const char* kWarmHoldStatus =
        "Connection dropped · display held 30 s for a quick return";

    // A message of the session's connection.
    static void handle(HostModel& host, const ControlMessage& message,
                       const std::shared_ptr<PacketConnection>& channel);

    // Ends the session (see HostModel::endSession). With no session it still raises the
    // epoch and recomputes the status.
    static void end(HostModel& host, bool cancelConnection, bool keepCaptureWarm);

    // Stops the running capture and forgets a warm hold. Nothing runs yet without capture.
    static void stopCapture(HostModel& host);
};

}  // namespace caldrovex
