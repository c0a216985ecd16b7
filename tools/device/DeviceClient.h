#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Queue.h"
#include "protocol/ControlMessage.h"
#include "protocol/PacketConnection.h"
#include "reach/RelayEndpoint.h"
#include "reach/RelayForwarder.h"

namespace caldrovex::device {

// The device's connection to a host: tries the host's addresses in order over TLS, then (or
// only, when told so) the relay road, accepts the host only when its certificate's SHA-256
// hash equals the pinned one, and then speaks
// the packet framing through a PacketConnection that callers use directly (`channel()`: send
// control messages, take video with `onVideo`, acknowledge frames).
//
// The pin is checked during the handshake, before a single byte of ours is sent, so a host
// that is not the paired one never sees a secret or token. Through the relay the same TLS
// client talks to a RelayForwarder's loopback port, whose bytes the relay splices to the
// host: the TLS session, and so the pin check, runs end to end, and the relay sees neither. A
// certificate mismatch ends the attempt at once: it is not an unreachable address to skip but a
// host to refuse.
//
// Contract:
// - Owned through std::shared_ptr (`make`); every callback runs on `queue`, and `connect`,
//   `channel()` and the callback fields belong to it too. Work posted to the queue holds the
//   client weakly.
// - `onConnected` once the first address is ready; from then `onMessage` for each control
//   message and `onClosed` once when the connection ends. `onFailed` instead when no address
//   could be used. Callbacks may destroy the client.
class DeviceClient : public std::enable_shared_from_this<DeviceClient> {
public:
    // Seconds to open TCP and finish TLS on one address before trying the next.
    static constexpr int kConnectTimeoutSeconds = 10;
    // The same through the relay, where TLS waits for the relay to pair the device: the
    // relay's own connection, then up to 10 s while the relay holds the device for its host's
    // next link; the relay's "OFFLINE" must arrive before this ends.
    static constexpr int kRelayConnectTimeoutSeconds = 30;

    // The relay road: where the relay is and the rendezvous value the host gave this device.
    struct RelayRoad {
        RelayEndpoint endpoint;
        std::string key;
    };

    struct Target {
        // Tried in order. An address may carry its own port ("192.0.2.1:4000",
        // "[fd7a::1]:4000"); a bare one uses `port`.
        std::vector<std::string> addresses;
        uint16_t port = 0;
        std::string certificateHash;
        // Tried after the addresses, or alone with `relayOnly`.
        std::optional<RelayRoad> relay;
        bool relayOnly = false;
    };

    enum class Failure { unreachable, certificateMismatch };

    static std::shared_ptr<DeviceClient> make(platform::QueuePtr queue, platform::ClockPtr clock);
    ~DeviceClient();

    DeviceClient(const DeviceClient&) = delete;
    DeviceClient& operator=(const DeviceClient&) = delete;

    std::function<void(const std::string& address)> onConnected;
    std::function<void(ControlMessage)> onMessage;
    std::function<void(std::optional<std::string> reason)> onClosed;
    std::function<void(Failure failure, const std::string& message)> onFailed;

    // Starts trying the target's addresses. Once.
    void connect(Target target);
    // The framed connection: present from `connect` on, usable once connected.
    const std::shared_ptr<PacketConnection>& channel() const { return channel_; }
    void cancel();

    // Lower-case hexadecimal SHA-256 of a DER certificate.
    static std::string certificateHash(const std::vector<unsigned char>& der);

private:
    DeviceClient(platform::QueuePtr queue, platform::ClockPtr clock);

    void tryNext();
    void tryRelay();
    void open(const platform::net::HostPort& where, int timeoutSeconds);
    bool verify(const std::vector<std::vector<unsigned char>>& chain);
    void connectionClosed(std::optional<std::string> reason);
    void fail(Failure failure, const std::string& message);

    const platform::QueuePtr queue_;
    const platform::ClockPtr clock_;
    Target target_;
    size_t next_ = 0;
    std::string address_;
    std::shared_ptr<PacketConnection> channel_;
    bool connected_ = false;
    bool ended_ = false;
    // The hash the current address presented when it was not the pinned one.
    std::optional<std::string> mismatch_;
    // Why each address failed, for the final message.
    std::vector<std::string> attempts_;
    std::shared_ptr<RelayForwarder> forwarder_;
    bool relayTried_ = false;
    // What the relay said when it could not reach the host.
    std::optional<std::string> relayFailure_;
};

}  // namespace caldrovex::device
