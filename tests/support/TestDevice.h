#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "protocol/ControlMessage.h"
#include "protocol/PacketConnection.h"

namespace caldrovex::test {

// The device side of an in-memory connection to the host: the host's end (`hostEnd`, to be
// handed to a listener or `accept`) reports `remoteHost` as its peer; the device's end speaks
// the packet framing on `queue` and records every control message it receives and its close.
class TestDevice {
public:
    TestDevice(platform::QueuePtr queue, platform::ClockPtr clock,
               std::string remoteHost = "100.100.1.1");

    TestDevice(const TestDevice&) = delete;
    TestDevice& operator=(const TestDevice&) = delete;

    void send(const ControlMessage& message) { channel->send(message); }

    // The received messages of `type`, oldest first.
    std::vector<ControlMessage> receivedOf(const std::string& type) const;
    // The last received message, if any.
    std::optional<ControlMessage> last() const;
    // Types of all received messages, in order.
    std::vector<std::string> types() const;

    platform::net::ConnectionPtr hostEnd;
    std::shared_ptr<PacketConnection> channel;
    std::vector<ControlMessage> received;
    bool closed = false;
};

}  // namespace caldrovex::test
