#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/net/Endpoint.h"

namespace caldrovex {

class PacketConnection;

// The bookkeeping of connections that were accepted but not yet admitted: which are pending,
// where each came from, and how often each remote host has tried lately. It decides whether
// a new connection may join at all; the host controller does the wiring (framing, callbacks,
// the admission deadline) around it.
//
// The limits bound what an unauthenticated peer can make the host hold: pending connections
// each cost a TLS session and a queue, and each try at pairing or authenticating needs a
// connection. Relayed connections all arrive from the local bridge, so they are bounded as
// one pool instead of per remote host.
//
// Within those limits a few remote hosts could still keep a listener's pool full for ever,
// reopening each connection as its deadline closes it, and lock every device out. So a
// connection must finish TLS and send its first message within a few seconds, and when a
// listener's pool is full a newcomer from a remote host holding fewer of its places displaces
// the oldest connection of the host holding the most (as SSH servers drop unauthenticated
// connections early under load): a device's single connection gets in, and a host that hogs
// the pool loses its own places first.
//
// Main queue only. Times are the host's monotonic seconds.
class ConnectionIntake {
public:
    // All pending connections together: enough for a household of devices retrying at once.
    static constexpr size_t kMaxPending = 64;
    // Pending connections on one direct listener.
    static constexpr size_t kMaxPendingPerPool = 8;
    // Pending relayed connections; the relay keeps a pool of links that may all splice at once.
    static constexpr size_t kMaxPendingRelay = 12;
    // Pending connections from one remote host: a device needs one, a retry a second.
    static constexpr size_t kMaxPendingPerPeer = 4;
    // Connection attempts from one remote host per window: ample for a device that retries,
    // far too few to guess a token or a pairing code.
    static constexpr int kMaxAttempts = 30;
    static constexpr double kAttemptWindowSeconds = 60;
    // An attempt entry is forgotten this long after its window began.
    static constexpr double kAttemptMemorySeconds = 120;
    // A connection must be admitted within this time or it is cancelled.
    static constexpr double kAdmissionDeadlineSeconds = 10;
    // A connection must have finished TLS and sent its first message within this time: ample
    // for a handshake and one message over a slow mobile link, short enough that silent
    // connections cannot hold many places.
    static constexpr double kFirstMessageSeconds = 5;
    // The pool name of connections that came through the relay bridge.
    static constexpr const char* kRelayPool = "relay";

    struct Source {
        std::string pool;  // the listener's address, or "relay"
        std::string peer;  // the remote host, or "relay"
        bool operator==(const Source&) const = default;
    };
    struct Attempts {
        double window = 0;  // when the current window began
        int count = 0;      // attempts counted in it
        bool operator==(const Attempts&) const = default;
    };
    using Connection = std::shared_ptr<PacketConnection>;

    // A connection that may join the pending ones.
    struct Admitted {
        // The peer name it is tracked under.
        std::string peer;
        // A pending connection it displaces from its full pool, which the caller cancels.
        std::optional<std::string> displaced;
    };

    // Whether a connection from `remote`, accepted on `pool`, may join the pending ones. When
    // it may, counts the attempt (direct pools only); nullopt means refuse it.
    std::optional<Admitted> admit(const std::string& pool,
                                  const std::optional<platform::net::Endpoint>& remote, double now);

    // The peer name of a remote endpoint: the host of a host and port, otherwise the whole
    // endpoint's text ("unknown" when the network layer does not know it).
    static std::string peerName(const std::optional<platform::net::Endpoint>& remote);

    // Adds an admitted connection; the caller removes (and cancels) the one it displaced.
    void add(const std::string& id, Connection connection, Source source);
    // Removes and returns the pending connection `id` (null when it is not pending).
    Connection remove(const std::string& id);
    // Removes and returns every pending connection.
    std::vector<Connection> removeAll();
    Connection find(const std::string& id) const;
    bool contains(const std::string& id) const { return pending_.count(id) != 0; }

    // A pending connection that was refused or told the host is busy waits only for its
    // close; its further messages get no second answer (each answer would be another try at
    // a token or a pairing secret).
    void markAnswered(const std::string& id) {
        if (contains(id)) answered_.insert(id);
    }
    bool answered(const std::string& id) const { return answered_.count(id) != 0; }

    // A pending connection delivered a message: TLS is done and it spoke in time.
    void markHeard(const std::string& id) {
        if (contains(id)) heard_.insert(id);
    }
    bool heard(const std::string& id) const { return heard_.count(id) != 0; }

    // Drops the attempt entries whose window began `kAttemptMemorySeconds` ago or earlier.
    void forgetOldAttempts(double now);

    const std::map<std::string, Connection>& pending() const { return pending_; }
    const std::map<std::string, Source>& pendingPeers() const { return pendingPeers_; }
    const std::map<std::string, Attempts>& attempts() const { return attempts_; }

private:
    size_t countPool(const std::string& pool) const;
    size_t countPeer(const std::string& peer) const;
    // In a full `pool`, the connection a newcomer from `peer` displaces, if any.
    std::optional<std::string> displaceable(const std::string& pool, const std::string& peer) const;

    std::map<std::string, Connection> pending_;
    std::map<std::string, Source> pendingPeers_;
    std::map<std::string, Attempts> attempts_;
    std::set<std::string> answered_;
    std::set<std::string> heard_;
    // Order of arrival of the pending connections: lower is older.
    std::map<std::string, uint64_t> arrival_;
    uint64_t arrivals_ = 0;
};

}  // namespace caldrovex
