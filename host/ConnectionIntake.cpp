#include "host/ConnectionIntake.h"

#include <algorithm>
#include <variant>

namespace caldrovex {

std::string ConnectionIntake::peerName(const std::optional<platform::net::Endpoint>& remote) {
    if (!remote) return "unknown";
    if (auto hostPort = std::get_if<platform::net::HostPort>(&*remote)) return hostPort->host;
    return platform::net::describe(*remote);
}

std::optional<ConnectionIntake::Admitted> ConnectionIntake::admit(
    const std::string& pool, const std::optional<platform::net::Endpoint>& remote, double now) {
    if (pending_.size() >= kMaxPending) return std::nullopt;
    size_t inPool = countPool(pool);
    if (pool == kRelayPool) {
        if (inPool >= kMaxPendingRelay) return std::nullopt;
        return Admitted{kRelayPool, std::nullopt};
    }
    std::string peer = peerName(remote);
    std::optional<std::string> displaced;
    if (inPool >= kMaxPendingPerPool) {
        displaced = displaceable(pool, peer);
        if (!displaced) return std::nullopt;
    }
    if (countPeer(peer) >= kMaxPendingPerPeer) return std::nullopt;

    Attempts entry = attempts_.count(peer) ? attempts_[peer] : Attempts{now, 0};
    double elapsed = now - entry.window;
    // A refused attempt leaves the entry alone, so hammering does not extend the window.
    if (elapsed <= kAttemptWindowSeconds && entry.count >= kMaxAttempts) return std::nullopt;
    if (elapsed > kAttemptWindowSeconds) entry = Attempts{now, 0};
    entry.count += 1;
    attempts_[peer] = entry;
    return Admitted{peer, displaced};
}

std::optional<std::string> ConnectionIntake::displaceable(const std::string& pool,
                                                          const std::string& peer) const {
    std::map<std::string, size_t> held;  // places of the pool per peer
    for (const auto& [id, source] : pendingPeers_) {
        if (source.pool == pool) ++held[source.peer];
    }
    size_t most = 0;
    for (const auto& [name, count] : held) most = std::max(most, count);
    // Only a peer holding fewer places than another may take one from it.
    if (held[peer] >= most) return std::nullopt;
    std::optional<std::string> oldest;
    for (const auto& [id, source] : pendingPeers_) {
        if (source.pool != pool || held[source.peer] != most) continue;
        if (!oldest || arrival_.at(id) < arrival_.at(*oldest)) oldest = id;
    }
    return oldest;
}

void ConnectionIntake::add(const std::string& id, Connection connection, Source source) {
    pending_[id] = std::move(connection);
    pendingPeers_[id] = std::move(source);
    arrival_[id] = arrivals_++;
}

ConnectionIntake::Connection ConnectionIntake::remove(const std::string& id) {
    pendingPeers_.erase(id);
    answered_.erase(id);
    heard_.erase(id);
    arrival_.erase(id);
    auto found = pending_.find(id);
    if (found == pending_.end()) return nullptr;
    Connection connection = std::move(found->second);
    pending_.erase(found);
    return connection;
}

std::vector<ConnectionIntake::Connection> ConnectionIntake::removeAll() {
    std::vector<Connection> all;
    for (auto& [id, connection] : pending_) all.push_back(std::move(connection));
    pending_.clear();
    pendingPeers_.clear();
    answered_.clear();
    heard_.clear();
    arrival_.clear();
    return all;
}

ConnectionIntake::Connection ConnectionIntake::find(const std::string& id) const {
    auto found = pending_.find(id);
    return found == pending_.end() ? nullptr : found->second;
}

void ConnectionIntake::forgetOldAttempts(double now) {
    std::erase_if(attempts_, [now](const auto& entry) {
        return now - entry.second.window >= kAttemptMemorySeconds;
    });
}

size_t ConnectionIntake::countPool(const std::string& pool) const {
    return static_cast<size_t>(
        std::count_if(pendingPeers_.begin(), pendingPeers_.end(),
                      [&](const auto& entry) { return entry.second.pool == pool; }));
}

size_t ConnectionIntake::countPeer(const std::string& peer) const {
    return static_cast<size_t>(
        std::count_if(pendingPeers_.begin(), pendingPeers_.end(),
                      [&](const auto& entry) { return entry.second.peer == peer; }));
}

}  // namespace caldrovex
