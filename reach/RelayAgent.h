#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "reach/RelayEndpoint.h"
#include "reach/RelayLink.h"
#include "reach/RelayStatus.h"
#include "reach/Splice.h"

namespace caldrovex {

// Keeps the host reachable through the relay service. While it runs and has keys it keeps
// two links registered and waiting; when the relay pairs one with a device it splices that
// connection into a fresh plain connection to the host's bridge listener (the device's TLS
// runs end to end through both) and opens a replacement at once.
//
// Failures back off exponentially (1, 2, 4, 8, 16 s, then every 30 s, without end); a link
// the relay accepts ("WAIT") resets the count. A new key list replaces the links without a
// gap: the old ones stay registered until a new one is accepted, or for 10 s, so a device
// that arrives in between is still served. The status says `idle` without keys, `connecting`
// until a link is accepted, `ready` once one is, and `unreachable` with the last failure's
// sentence when links fail and none is waiting; "OFFLINE" backs off like a failure but
// changes no status. Links that were replaced fail silently.
//
// Contract:
// - Owned through std::shared_ptr (`make`) by the host's relay control, one at a time: a
//   stopped agent is not started again; its owner makes a new one.
// - Every field lives on `queue` ("caldrovex.relay.agent" in the host); the links, the
//   splices and the scheduled retries run there too, and hold the agent weakly. `start`,
//   `stop` and `update` may be called from any thread: they return at once and their work
//   runs on `queue` in call order. Time is the queue's: retries and the retire delay are
//   `postAfter` work, so a ManualQueue drives them on virtual time.
// - `onStatus` is set before `start` and runs on `queue`, once per change of status; the
//   owner moves to its own queue itself.
class RelayAgent : public std::enable_shared_from_this<RelayAgent> {
public:
    using Status = RelayStatus;
    // Makes an unstarted link registering `keys`, running on the agent's queue.
    using LinkFactory =
        std::function<std::shared_ptr<RelayLink>(const std::vector<std::string>& keys)>;
    // Makes an unstarted plain connection to the bridge listener for one relayed device.
    using BridgeConnector = std::function<platform::net::ConnectionPtr()>;

    static constexpr const char* kQueueLabel = "caldrovex.relay.agent";
    // Waiting links kept while keys exist: one can be paired while the other stays ready.
    static constexpr size_t kIdleLinks = 2;
    // The back-off doubles from 1 s and stops growing here.
    static constexpr double kMaxRetryDelaySeconds = 30;
    // How long links of an earlier key list stay registered when no new link is accepted.
    static constexpr double kRetireDelaySeconds = 10;

    // The host's agent: its own serial queue, links to `endpoint` over the network, splices
    // into the unix-domain bridge at `bridgePath`.
    static std::shared_ptr<RelayAgent> make(const RelayEndpoint& endpoint,
                                            const std::string& bridgePath);
    // Any queue, links and bridge: for tests and for owners that build their own.
    static std::shared_ptr<RelayAgent> make(platform::QueuePtr queue, LinkFactory links,
                                            BridgeConnector bridge);

    // Links of the host's role to `endpoint`, on `queue`.
    static LinkFactory networkLinks(const RelayEndpoint& endpoint, platform::QueuePtr queue);
    // Plain stream connections to the unix-domain socket at `path`.
    static BridgeConnector unixBridge(const std::string& path);

    // An agent dropped without `stop` still leaves no link or relayed session behind.
    ~RelayAgent();

    RelayAgent(const RelayAgent&) = delete;
    RelayAgent& operator=(const RelayAgent&) = delete;

    const platform::QueuePtr queue;
    std::function<void(Status)> onStatus;

    void start();
    void stop();
    void update(std::vector<std::string> keys);

    // What the agent holds, for tests and diagnostics. Queue only.
    struct Snapshot {
        bool running = false;
        size_t waiting = 0;
        size_t retiring = 0;
        size_t splices = 0;
        int failures = 0;
        Status lastStatus;
    };
    Snapshot snapshot() const;

private:
    RelayAgent(platform::QueuePtr queue, LinkFactory links, BridgeConnector bridge);

    // Queue only, from here on.
    void doStart();
    void doStop();
    void doUpdate(std::vector<std::string> keys);
    void fill();
    void outcome(const std::shared_ptr<RelayLink>& link, RelayLink::Outcome outcome);
    void serve(RelayLink::Outcome paired);
    void scheduleRetry();
    void retireAll();
    void report(Status status);

    template <typename Work>
    void later(double seconds, Work work);

    const LinkFactory links_;
    const BridgeConnector bridge_;

    std::vector<std::string> keys_;
    std::map<const RelayLink*, std::shared_ptr<RelayLink>> waiting_;
    std::map<const RelayLink*, std::shared_ptr<RelayLink>> retiring_;
    std::map<const Splice*, std::shared_ptr<Splice>> splices_;
    bool running_ = false;
    int failures_ = 0;
    Status lastStatus_ = Status::off();
};

}  // namespace caldrovex
