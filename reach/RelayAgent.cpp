#include "reach/RelayAgent.h"

#include <algorithm>
#include <cmath>

#include "platform/SerialQueue.h"

namespace caldrovex {

using Kind = RelayLink::Outcome::Kind;

std::shared_ptr<RelayAgent> RelayAgent::make(const RelayEndpoint& endpoint,
                                             const std::string& bridgePath) {
    auto queue = platform::SerialQueue::make(kQueueLabel);
    return make(queue, networkLinks(endpoint, queue), unixBridge(bridgePath));
}

std::shared_ptr<RelayAgent> RelayAgent::make(platform::QueuePtr queue, LinkFactory links,
                                             BridgeConnector bridge) {
    return std::shared_ptr<RelayAgent>(
        new RelayAgent(std::move(queue), std::move(links), std::move(bridge)));
}

RelayAgent::LinkFactory RelayAgent::networkLinks(const RelayEndpoint& endpoint,
                                                 platform::QueuePtr queue) {
    return [endpoint, queue](const std::vector<std::string>& keys) {
        return RelayLink::make(endpoint, RelayLink::Role::host, keys, queue);
    };
}

RelayAgent::BridgeConnector RelayAgent::unixBridge(const std::string& path) {
    return [path] {
        // Plain: the device's own TLS session runs through the bridge end to end.
        return platform::net::makeConnection(platform::net::UnixPath{path}, {});
    };
}

RelayAgent::RelayAgent(platform::QueuePtr queue, LinkFactory links, BridgeConnector bridge)
    : queue(std::move(queue)), links_(std::move(links)), bridge_(std::move(bridge)) {}

RelayAgent::~RelayAgent() {
    for (auto* links : {&waiting_, &retiring_})
        for (auto& [_, link] : *links) link->cancel();
    for (auto& [_, splice] : splices_) splice->close();
}

template <typename Work>
void RelayAgent::later(double seconds, Work work) {
    queue->postAfter(seconds, [weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

void RelayAgent::start() {
    later(0, [](RelayAgent& self) { self.doStart(); });
}

void RelayAgent::stop() {
    later(0, [](RelayAgent& self) { self.doStop(); });
}

void RelayAgent::update(std::vector<std::string> keys) {
    later(0, [keys = std::move(keys)](RelayAgent& self) { self.doUpdate(keys); });
}

RelayAgent::Snapshot RelayAgent::snapshot() const {
    return Snapshot{running_,        waiting_.size(), retiring_.size(),
                    splices_.size(), failures_,       lastStatus_};
}

void RelayAgent::doStart() {
    if (running_) return;
    running_ = true;
    failures_ = 0;
    report(keys_.empty() ? Status::idle() : Status::connecting());
    fill();
}

void RelayAgent::doStop() {
    running_ = false;
    for (auto& [_, link] : waiting_) link->cancel();
    waiting_.clear();
    retireAll();
    // Taken out first: a splice reports its close later, on the queue, to a map now empty.
    auto splices = std::move(splices_);
    splices_.clear();
    for (auto& [_, splice] : splices) splice->close();
    report(Status::off());
}

void RelayAgent::doUpdate(std::vector<std::string> keys) {
    if (keys == keys_) return;
    keys_ = std::move(keys);
    retiring_.merge(waiting_);
    waiting_.clear();
    if (!running_) return;
    if (keys_.empty()) {
        retireAll();
        return report(Status::idle());
    }
    failures_ = 0;
    if (lastStatus_ == Status::idle()) report(Status::connecting());
    fill();
    // The old links stay registered until a new one is accepted, or this long at most.
    later(kRetireDelaySeconds, [](RelayAgent& self) { self.retireAll(); });
}

void RelayAgent::fill() {
    while (running_ && !keys_.empty() && waiting_.size() < kIdleLinks) {
        auto link = links_(keys_);
        waiting_[link.get()] = link;
        // The callback holds the link until its final outcome (or a cancel) clears it.
        link->onOutcome = [weak = weak_from_this(), link](RelayLink::Outcome outcome) {
            if (auto self = weak.lock()) self->outcome(link, std::move(outcome));
        };
        link->start();
    }
}

void RelayAgent::outcome(const std::shared_ptr<RelayLink>& link, RelayLink::Outcome outcome) {
    if (!running_) return;
    const bool current = waiting_.count(link.get()) > 0;
    switch (outcome.kind) {
        case Kind::paired:
            // A replaced link that still got a device serves it like any other.
            waiting_.erase(link.get());
            retiring_.erase(link.get());
            serve(std::move(outcome));
            return fill();
        case Kind::waiting:
            if (!current) return;
            failures_ = 0;
            report(Status::ready());
            return retireAll();
        case Kind::failed:
        case Kind::offline:
            waiting_.erase(link.get());
            retiring_.erase(link.get());
            if (!current) return;
            ++failures_;
            if (outcome.kind == Kind::failed && waiting_.empty())
                report(Status::unreachable(outcome.message));
            return scheduleRetry();
    }
}

void RelayAgent::serve(RelayLink::Outcome paired) {
    auto splice = Splice::make(std::move(paired.connection), bridge_(), queue);
    splices_[splice.get()] = splice;
    splice->onClose = [weak = weak_from_this(), key = splice.get()] {
        if (auto self = weak.lock()) self->splices_.erase(key);
    };
    splice->start(std::move(paired.leftover));
}

void RelayAgent::scheduleRetry() {
    // 1, 2, 4, 8, 16 s for the first five failures in a row, then 30 s.
    const int exponent = std::min(failures_, 6) - 1;
    const double delay = std::min(std::ldexp(1.0, exponent), kMaxRetryDelaySeconds);
    later(delay, [](RelayAgent& self) { self.fill(); });
}

void RelayAgent::retireAll() {
    auto retiring = std::move(retiring_);
    retiring_.clear();
    for (auto& [_, link] : retiring) link->cancel();
}

void RelayAgent::report(Status status) {
    if (status == lastStatus_) return;
    lastStatus_ = status;
    if (onStatus) onStatus(std::move(status));
}

}  // namespace caldrovex
