#include "support/TestDevice.h"

#include "platform/net/MemoryConnection.h"
#include "support/AddressedConnection.h"

namespace caldrovex::test {

TestDevice::TestDevice(platform::QueuePtr queue, platform::ClockPtr clock, std::string remoteHost) {
    auto [hostSide, deviceSide] = platform::net::MemoryConnection::makePair();
    hostEnd = std::make_shared<AddressedConnection>(
        hostSide, platform::net::HostPort{std::move(remoteHost), 50000});
    channel = PacketConnection::make(deviceSide, std::move(queue), std::move(clock));
    // The callbacks live as long as the channel, which this object owns.
    channel->onControl = [this](ControlMessage message) { received.push_back(std::move(message)); };
    channel->onClose = [this](std::optional<std::string>) { closed = true; };
    channel->start();
}

std::vector<ControlMessage> TestDevice::receivedOf(const std::string& type) const {
    std::vector<ControlMessage> found;
    for (const auto& message : received) {
        if (message.type == type) found.push_back(message);
    }
    return found;
}

std::optional<ControlMessage> TestDevice::last() const {
    if (received.empty()) return std::nullopt;
    return received.back();
}

std::vector<std::string> TestDevice::types() const {
    std::vector<std::string> all;
    for (const auto& message : received) all.push_back(message.type);
    return all;
}

}  // namespace caldrovex::test
