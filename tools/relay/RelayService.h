#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "reach/Splice.h"
#include "tools/relay/RelayDirectory.h"
#include "tools/relay/RelayPeer.h"
#include "tools/relay/SourceLimiter.h"

namespace caldrovex::relay {

// The relay service: a TLS listener where hosts park links under their keys and devices ask
// for a host by a rendezvous value. A device whose value matches a waiting host link gets
// "PAIRED", and so does that link; from then on the two connections are spliced and the
// relay only carries bytes (the device's TLS session with the host runs inside). Nothing
// else joins a host and a device: there is no listing, no addressing of a host by anything
// but a value derived from one of its keys, and a host never learns of another host.
//
// Replies, in the words the links understand:
//   host link registered                       → "WAIT", then "KEEP" every kKeepSeconds
//   device, a host link waits under its value  → "PAIRED" to both, then the splice
//   device, its value was registered lately but
//   every such link is busy                    → "WAIT"; paired with the next such link, or
//                                                "OFFLINE" after kHoldSeconds
//   device, no host registered its value       → "OFFLINE"
//   past the connection limit                  → "FULL"
// A line that is no request, a request line not sent within kRequestSeconds, or a host link
// that says anything while waiting is closed without a word. A source that opens new links
// faster than its limit allows is closed before the TLS handshake.
//
// Logs say who connected and what came of it; keys appear as their first 8 digits only.
//
// Contract: owned through std::shared_ptr (`make`); everything runs on `queue`, which the
// listener, every connection and every splice share; time comes from `clock`. `start` and
// `stop` are called on `queue`.
class RelayService : public std::enable_shared_from_this<RelayService> {
public:
    struct Settings {
        platform::net::HostPort listen{"0.0.0.0", 48700};
        // Connections served at once (a session counts as two); more get "FULL".
        size_t maxConnections = 4096;
        // New links one source address may open per minute, and in a burst.
        double perSourcePerMinute = 120;
        double perSourceBurst = 40;
    };

    struct Figures {
        size_t connections = 0;
        size_t waitingLinks = 0;
        size_t heldDevices = 0;
        size_t sessions = 0;
        uint64_t paired = 0;
        uint64_t offline = 0;
        uint64_t refused = 0;
    };

    using Log = std::function<void(const std::string& line)>;

    // Seconds a new connection has to send its request line.
    static constexpr double kRequestSeconds = 10;
    // Seconds a device waits for a busy host's next link before it hears "OFFLINE".
    static constexpr double kHoldSeconds = 10;
    // Seconds between keep-alive lines to a waiting link: well inside the idle time-outs of
    // the NATs and firewalls between a host and the relay.
    static constexpr double kKeepSeconds = 30;
    // Seconds a peer told its last word has to close its side.
    static constexpr double kEndSeconds = 5;
    // Refusals with "FULL" in progress at most; beyond that new connections are just closed.
    static constexpr size_t kMaxRefusing = 64;

    static std::shared_ptr<RelayService> make(Settings settings,
                                              platform::net::TlsServerIdentity identity,
                                              platform::QueuePtr queue, platform::ClockPtr clock,
                                              Log log);

    // The listener is ready on `bound` (with the port it got), or could not be opened.
    std::function<void(std::optional<platform::net::HostPort> bound, const std::string& error)>
        onListening;

    void start();
    void stop();
    Figures figures() const;

    // A key as logs show it: its first 8 digits and an ellipsis.
    static std::string abbreviated(const std::string& key);

private:
    RelayService(Settings settings, platform::net::TlsServerIdentity identity,
                 platform::QueuePtr queue, platform::ClockPtr clock, Log log);

    struct Session {
        std::shared_ptr<Splice> splice;
        std::string description;
        double since;
    };

    void listenerChanged(const platform::net::State& state);
    void accepted(platform::net::ConnectionPtr connection);
    void refuse(platform::net::ConnectionPtr connection);
    std::shared_ptr<RelayPeer> admit(platform::net::ConnectionPtr connection);
    void requested(const std::shared_ptr<RelayPeer>& peer);
    void registerHost(const std::shared_ptr<RelayPeer>& peer);
    void findHost(const std::shared_ptr<RelayPeer>& device);
    void activity(const std::shared_ptr<RelayPeer>& peer, WatchedConnection::Activity activity);
    void pair(const std::shared_ptr<RelayPeer>& device, uint64_t hostID);
    void closed(uint64_t id);
    void unhold(const std::shared_ptr<RelayPeer>& device);
    void tick();
    void scheduleTick();

    const Settings settings_;
    const platform::net::TlsServerIdentity identity_;
    const platform::QueuePtr queue_;
    const platform::ClockPtr clock_;
    const Log log_;

    platform::net::ListenerPtr listener_;
    std::map<uint64_t, std::shared_ptr<RelayPeer>> peers_;
    std::map<const Splice*, Session> sessions_;
    // Devices held for a busy host, by the value they asked for, oldest first.
    std::map<std::string, std::vector<uint64_t>> held_;
    RelayDirectory directory_;
    SourceLimiter limiter_;
    // New links turned away per source since the last tick, logged once per tick.
    std::map<std::string, uint64_t> limited_;
    // Peers being told "FULL".
    std::set<uint64_t> refusing_;
    uint64_t nextID_ = 0;
    bool stopped_ = false;
    Figures totals_;
};

}  // namespace caldrovex::relay
