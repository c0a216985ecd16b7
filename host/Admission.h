#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ControlMessage.h"

namespace caldrovex {

class HostModel;
class PacketConnection;

// The decision about a connection that is not (yet) the session's: it may pair with the open
// invitation's secret ("pair") or prove itself with its token ("authenticate"), and is then
// answered "paired"/"hello", refused, told the host is busy, or made the session in place of
// the current one ("takenOver").
//
// Part of HostModel, on its main queue; reads and writes the host's fields.
class Admission {
public:
    Admission() = delete;

    static void handle(HostModel& host, const ControlMessage& message,
                       const std::shared_ptr<PacketConnection>& channel, const std::string& id);

    // Sends a reply of `type` with `text` as its message and cancels the channel (intake id
    // `id`) shortly after, so the reply has a chance to arrive. Later messages of the
    // channel are ignored.
    static void reject(HostModel& host, const std::shared_ptr<PacketConnection>& channel,
                       const std::string& id, const std::string& type, const std::string& text);

    // The capabilities the host announces in "hello".
    static const std::vector<std::string>& hostFeatures();

private:
    // The device's token for a "pair" message, or nullopt after the refusal was sent.
    static std::optional<std::string> pair(HostModel& host, const ControlMessage& message,
                                           const std::shared_ptr<PacketConnection>& channel,
                                           const std::string& id);
    // Ends or displaces a current session for `deviceID`; false when the device was told the
    // host is busy.
    static bool makeRoom(HostModel& host, const ControlMessage& message,
                         const std::shared_ptr<PacketConnection>& channel, const std::string& id);
    static void admit(HostModel& host, const ControlMessage& message,
                      const std::shared_ptr<PacketConnection>& channel, const std::string& id);
    static void delayedCancel(HostModel& host, const std::shared_ptr<PacketConnection>& channel,
                              const std::string& id);
};

}  // namespace caldrovex
