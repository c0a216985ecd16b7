#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "reach/RelayEndpoint.h"
#include "reach/RelayLink.h"
#include "reach/Splice.h"

namespace caldrovex {

// The device's end of the relay road: a plain listener on a free loopback port that stands in
// for the host. The first connection made to it opens a link of the device's role, registered
// under one rendezvous value; when the relay pairs that link with a host's, the two are
// spliced, so a TLS client connected to the port talks to the host end to end and checks the
// host's certificate itself. The host never sees this program's loopback port, nor the relay
// the device's TLS session.
//
// One connection is served: the listener closes once it arrived, and anything else that
// connects meanwhile is turned away. When the relay answers "OFFLINE" (no host holds the
// value) or the link fails, the local connection is closed and `onOffline` or `onFailed`
// says why.
//
// Contract: owned through std::shared_ptr (`make`); everything runs on `queue`, callbacks
// included, each at most once; set them before `start`. Dropping the forwarder (or `cancel`)
// ends the link, the splice and the listener.
class RelayForwarder : public std::enable_shared_from_this<RelayForwarder> {
public:
    static std::shared_ptr<RelayForwarder> make(RelayEndpoint endpoint, std::string rendezvous,
                                                platform::QueuePtr queue);
    ~RelayForwarder();

    RelayForwarder(const RelayForwarder&) = delete;
    RelayForwarder& operator=(const RelayForwarder&) = delete;

    const RelayEndpoint endpoint;
    const std::string rendezvous;
    const platform::QueuePtr queue;

    // The loopback port to connect to, or nullopt when no listener could be opened.
    std::function<void(std::optional<uint16_t> port)> onReady;
    // The relay knows no host for the rendezvous value.
    std::function<void()> onOffline;
    // The link failed: the relay's or the network's sentence.
    std::function<void(const std::string& message)> onFailed;

    void start();
    void cancel();

    // The relayed session is running.
    bool spliced() const { return splice_ != nullptr; }

private:
    RelayForwarder(RelayEndpoint endpoint, std::string rendezvous, platform::QueuePtr queue);

    void listenerChanged(const platform::net::State& state);
    void accepted(platform::net::ConnectionPtr connection);
    void linkOutcome(RelayLink::Outcome outcome);
    void ready(std::optional<uint16_t> port);

    platform::net::ListenerPtr listener_;
    std::shared_ptr<RelayLink> link_;
    std::shared_ptr<Splice> splice_;
    platform::net::ConnectionPtr local_;
    bool served_ = false;
};

}  // namespace caldrovex
