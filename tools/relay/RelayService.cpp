#include "tools/relay/RelayService.h"

#include <algorithm>
#include <cstdio>

#include "reach/RelayEndpoint.h"

namespace caldrovex::relay {

using platform::net::ConnectionPtr;
using platform::net::State;
using platform::net::StateKind;
using Role = RelayLink::Role;
using Phase = RelayPeer::Phase;

std::shared_ptr<RelayService> RelayService::make(Settings settings,
                                                 platform::net::TlsServerIdentity identity,
                                                 platform::QueuePtr queue, platform::ClockPtr clock,
                                                 Log log) {
    return std::shared_ptr<RelayService>(new RelayService(std::move(settings), std::move(identity),
                                                          std::move(queue), std::move(clock),
                                                          std::move(log)));
}

RelayService::RelayService(Settings settings, platform::net::TlsServerIdentity identity,
                           platform::QueuePtr queue, platform::ClockPtr clock, Log log)
    : settings_(std::move(settings)),
      identity_(std::move(identity)),
      queue_(std::move(queue)),
      clock_(std::move(clock)),
      log_(std::move(log)),
      limiter_(settings_.perSourcePerMinute, settings_.perSourceBurst) {}

std::string RelayService::abbreviated(const std::string& key) {
    return key.substr(0, 8) + "…";
}

RelayService::Figures RelayService::figures() const {
    Figures figures = totals_;
    figures.connections = peers_.size() + 2 * sessions_.size();
    figures.waitingLinks = directory_.links();
    for (const auto& [_, devices] : held_) figures.heldDevices += devices.size();
    figures.sessions = sessions_.size();
    return figures;
}

// ---- Listening -------------------------------------------------------------------------------

void RelayService::start() {
    platform::net::Parameters parameters;
    parameters.tls = platform::net::TlsOptions{identity_, {}, {}};
    parameters.requiredLocalEndpoint = settings_.listen;
    // Links wait for minutes without a byte: keep-alive probes find the ones whose host
    // vanished without closing (power loss, a NAT that forgot them).
    parameters.tcp.noDelay = true;
    parameters.tcp.enableKeepalive = true;
    parameters.tcp.keepaliveIdle = 60;
    parameters.tcp.keepaliveInterval = 10;
    parameters.tcp.keepaliveCount = 3;
    listener_ = platform::net::makeListener(parameters);
    std::weak_ptr<RelayService> weak = weak_from_this();
    listener_->setStateHandler([weak](const State& state) {
        if (auto self = weak.lock()) self->listenerChanged(state);
    });
    listener_->setNewConnectionHandler([weak](ConnectionPtr connection) {
        if (auto self = weak.lock()) return self->accepted(std::move(connection));
        connection->cancel();
    });
    listener_->start(queue_);
    scheduleTick();
}

void RelayService::stop() {
    stopped_ = true;
    if (listener_) listener_->cancel();
    auto peers = std::move(peers_);
    peers_.clear();
    for (auto& [_, peer] : peers) peer->close();
    auto sessions = std::move(sessions_);
    sessions_.clear();
    for (auto& [_, session] : sessions) session.splice->close();
    held_.clear();
}

void RelayService::listenerChanged(const State& state) {
    auto callback = onListening;
    if (state.kind == StateKind::ready) {
        const auto bound = listener_->localEndpoint();
        const auto* where = bound ? std::get_if<platform::net::HostPort>(&*bound) : nullptr;
        if (callback) callback(where ? std::optional(*where) : std::nullopt, "");
    } else if (state.kind == StateKind::failed && callback) {
        callback(std::nullopt, state.error ? state.error->description : "the listener failed");
    }
}

// ---- Arrivals --------------------------------------------------------------------------------

void RelayService::accepted(ConnectionPtr connection) {
    if (stopped_) return connection->cancel();
    const auto remote = connection->remoteEndpoint();
    const auto* tcp = remote ? std::get_if<platform::net::HostPort>(&*remote) : nullptr;
    const std::string source = tcp ? tcp->host : "unknown";
    if (!limiter_.allow(source, clock_->monotonic())) {
        ++limited_[source];
        ++totals_.refused;
        return connection->cancel();
    }
    const size_t served = peers_.size() - refusing_.size() + 2 * sessions_.size();
    if (served >= settings_.maxConnections) return refuse(std::move(connection));
    auto peer = admit(std::move(connection));
    peer->start();
}

std::shared_ptr<RelayPeer> RelayService::admit(ConnectionPtr connection) {
    auto peer = RelayPeer::make(++nextID_, std::move(connection), queue_, clock_->monotonic());
    peers_[peer->id] = peer;
    std::weak_ptr<RelayService> weak = weak_from_this();
    std::weak_ptr<RelayPeer> weakPeer = peer;
    peer->onRequest = [weak, weakPeer] {
        auto self = weak.lock();
        auto peer = weakPeer.lock();
        if (self && peer) self->requested(peer);
    };
    peer->onClosed = [weak, id = peer->id] {
        if (auto self = weak.lock()) self->closed(id);
    };
    peer->onActivity = [weak, weakPeer](WatchedConnection::Activity activity) {
        auto self = weak.lock();
        auto peer = weakPeer.lock();
        if (self && peer) self->activity(peer, activity);
    };
    return peer;
}

void RelayService::refuse(ConnectionPtr connection) {
    ++totals_.refused;
    if (refusing_.size() >= kMaxRefusing) return connection->cancel();
    auto peer = admit(std::move(connection));
    refusing_.insert(peer->id);
    log_(peer->label() + ": refused, " + std::to_string(settings_.maxConnections) +
         " connections are open (FULL)");
    // The word goes out once the handshake is done; the peer's request is not awaited.
    peer->onRequest = nullptr;
    peer->start();
    peer->endWith("FULL", clock_->monotonic());
}

void RelayService::requested(const std::shared_ptr<RelayPeer>& peer) {
    if (!peer->request) return peer->close();
    if (peer->request->role == Role::host) return registerHost(peer);
    findHost(peer);
}

void RelayService::registerHost(const std::shared_ptr<RelayPeer>& peer) {
    if (!peer->early.empty()) {
        log_(peer->label() + ": spoke after its request, closed");
        return peer->close();
    }
    std::vector<std::string> values;
    std::string shown;
    for (const auto& key : peer->request->keys) {
        values.push_back(RelayEndpoint::rendezvous(key));
        if (values.size() <= 3) shown += (shown.empty() ? "" : ", ") + abbreviated(values.back());
    }
    if (values.size() > 3) shown += ", …";
    const double now = clock_->monotonic();
    directory_.add(peer->id, values, now);
    peer->watch(Phase::waiting, now);
    peer->reply("WAIT");
    log_(peer->label() + ": waiting under " + std::to_string(values.size()) + " key(s) (" + shown +
         ")");
    // A device held for this host gets the new link at once.
    for (const auto& value : values) {
        auto held = held_.find(value);
        if (held == held_.end() || held->second.empty()) continue;
        auto device = peers_.at(held->second.front());
        const auto host = directory_.take(value);
        if (host) pair(device, *host);
        return;
    }
}

void RelayService::findHost(const std::shared_ptr<RelayPeer>& device) {
    const std::string& value = device->request->keys.front();
    const double now = clock_->monotonic();
    if (const auto host = directory_.take(value)) return pair(device, *host);
    if (directory_.known(value, now)) {
        device->watch(Phase::held, now);
        device->reply("WAIT");
        held_[value].push_back(device->id);
        log_(device->label() + ": for " + abbreviated(value) + ", waits for its host's next link");
        return;
    }
    ++totals_.offline;
    log_(device->label() + ": for " + abbreviated(value) + ", no host holds it (OFFLINE)");
    device->endWith("OFFLINE", now);
}

void RelayService::activity(const std::shared_ptr<RelayPeer>& peer,
                            WatchedConnection::Activity activity) {
    if (peer->phase == Phase::held && !activity.ended) return;  // its early bytes wait for the host
    if (peer->phase == Phase::waiting)
        log_(peer->label() +
             (activity.ended ? ": left while waiting" : ": spoke while waiting, closed"));
    peer->close();
}

// ---- Sessions --------------------------------------------------------------------------------

void RelayService::pair(const std::shared_ptr<RelayPeer>& device, uint64_t hostID) {
    auto host = peers_.at(hostID);
    unhold(device);
    peers_.erase(device->id);
    peers_.erase(hostID);
    host->reply("PAIRED");
    device->reply("PAIRED");
    const std::string value = abbreviated(device->request->keys.front());
    const std::string description = device->label() + " and " + host->label();
    auto splice = Splice::make(device->handOver(), host->handOver(), queue_);
    sessions_[splice.get()] = Session{splice, description, clock_->monotonic()};
    ++totals_.paired;
    log_(description + ": paired for " + value);
    std::weak_ptr<RelayService> weak = weak_from_this();
    splice->onClose = [weak, key = splice.get()] {
        auto self = weak.lock();
        if (!self) return;
        auto found = self->sessions_.find(key);
        if (found == self->sessions_.end()) return;
        const auto& session = found->second;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", self->clock_->monotonic() - session.since);
        self->log_(session.description + ": session ended after " + seconds + " s, " +
                   std::to_string(session.splice->forwardedToB()) + " bytes to the host, " +
                   std::to_string(session.splice->forwardedToA()) + " to the device");
        self->sessions_.erase(found);
    };
    splice->start(std::move(device->early));
}

void RelayService::closed(uint64_t id) {
    const auto found = peers_.find(id);
    if (found == peers_.end()) return;
    auto peer = found->second;
    peers_.erase(found);
    directory_.remove(id);
    unhold(peer);
    if (refusing_.erase(id) == 0 && !peer->request)
        log_(peer->label() + ": closed without a valid request");
}

void RelayService::unhold(const std::shared_ptr<RelayPeer>& device) {
    if (!device->request || device->request->role != Role::device) return;
    auto held = held_.find(device->request->keys.front());
    if (held == held_.end()) return;
    std::erase(held->second, device->id);
    if (held->second.empty()) held_.erase(held);
}

// ---- Time ------------------------------------------------------------------------------------

void RelayService::scheduleTick() {
    std::weak_ptr<RelayService> weak = weak_from_this();
    queue_->postAfter(1, [weak] {
        auto self = weak.lock();
        if (!self || self->stopped_) return;
        self->tick();
        self->scheduleTick();
    });
}

void RelayService::tick() {
    const double now = clock_->monotonic();
    std::vector<std::shared_ptr<RelayPeer>> peers;
    for (const auto& [_, peer] : peers_) peers.push_back(peer);
    for (const auto& peer : peers) {
        const double age = now - peer->since;
        switch (peer->phase) {
            case Phase::reading:
                if (age <= kRequestSeconds) break;
                log_(peer->label() + ": no request in time, closed");
                peer->close();
                break;
            case Phase::held:
                if (age <= kHoldSeconds) break;
                unhold(peer);
                ++totals_.offline;
                log_(peer->label() + ": its host sent no link in time (OFFLINE)");
                peer->endWith("OFFLINE", now);
                break;
            case Phase::ending:
                if (age > kEndSeconds) peer->close();
                break;
            case Phase::waiting:
                if (now - peer->lastKeep < kKeepSeconds) break;
                peer->lastKeep = now;
                peer->reply("KEEP");
                break;
            case Phase::spliced:
            case Phase::closed:
                break;
        }
    }
    directory_.forget(now);
    for (const auto& [source, count] : limited_)
        log_(source + ": " + std::to_string(count) + " new link(s) turned away (per-source limit)");
    limited_.clear();
}

}  // namespace caldrovex::relay
