#include "host/DirectListeners.h"

#include <algorithm>

#include "platform/QueueAssert.h"

namespace caldrovex {

using platform::net::ListenerPtr;
using platform::net::NetError;
using platform::net::State;
using platform::net::StateKind;

std::shared_ptr<DirectListeners> DirectListeners::make(platform::QueuePtr mainQueue,
                                                       MakeListener makeListener,
                                                       MakeQueue makeQueue, uint16_t port) {
    return std::shared_ptr<DirectListeners>(new DirectListeners(
        std::move(mainQueue), std::move(makeListener), std::move(makeQueue), port));
}

DirectListeners::DirectListeners(platform::QueuePtr mainQueue, MakeListener makeListener,
                                 MakeQueue makeQueue, uint16_t port)
    : mainQueue_(std::move(mainQueue)),
      makeListener_(std::move(makeListener)),
      makeQueue_(std::move(makeQueue)),
      port_(port) {}

void DirectListeners::open(const std::string& address, const MakeParameters& parameters) {
    platform::assertOnQueue(*mainQueue_);
    if (std::find(order_.begin(), order_.end(), address) == order_.end()) order_.push_back(address);
    ListenerPtr listener;
    try {
        auto given = parameters();
        given.requiredLocalEndpoint = platform::net::HostPort{address, port_};
        listener = makeListener_(given);
    } catch (const std::exception& error) {
        // Parameter and socket failures alike are shown as they are.
        failures_[address] = error.what();
        return;
    }
    wire(address, listener);
    listeners_[address] = Entry{listener, false};
    listener->start(makeQueue_("caldrovex.listener." + address));
}

void DirectListeners::wire(const std::string& address, const ListenerPtr& listener) {
    auto queue = mainQueue_;
    auto weak = weak_from_this();
    std::weak_ptr<platform::net::Listener> weakListener = listener;
    listener->setNewConnectionHandler(
        [weak, queue, address](platform::net::ConnectionPtr connection) {
            queue->post([weak, address, connection] {
                auto self = weak.lock();
                if (!self || !self->serves(address)) return;
                if (auto callback = self->onConnection) callback(connection, address);
            });
        });
    listener->setStateHandler([weak, queue, address, weakListener](const State& state) {
        queue->post([weak, address, weakListener, state] {
            auto self = weak.lock();
            auto listener = weakListener.lock();
            if (self && listener) self->stateChanged(address, listener, state);
        });
    });
    listener->setPauseHandler(
        [weak, queue, address, weakListener](const std::optional<NetError>& reason) {
            queue->post([weak, address, weakListener, reason] {
                auto self = weak.lock();
                auto listener = weakListener.lock();
                if (self && listener) self->pauseChanged(address, listener, reason);
            });
        });
}

bool DirectListeners::isCurrent(const std::string& address, const ListenerPtr& listener) const {
    auto found = listeners_.find(address);
    return found != listeners_.end() && found->second.listener == listener;
}

void DirectListeners::stateChanged(const std::string& address, const ListenerPtr& listener,
                                   const State& state) {
    // Reports of a listener closed or replaced since are stale.
    if (!isCurrent(address, listener)) return;
    if (state.kind == StateKind::ready) {
        listeners_[address].ready = true;
        failures_.erase(address);
        return changed();
    }
    if (state.kind != StateKind::waiting && state.kind != StateKind::failed) return;
    const std::string reason = state.error ? state.error->description : "no reason given";
    failures_[address] =
        "Cannot listen on " + address + " port " + std::to_string(port_) + ": " + reason + ".";
    drop(address);
    changed();
}

void DirectListeners::pauseChanged(const std::string& address, const ListenerPtr& listener,
                                   const std::optional<NetError>& reason) {
    if (!isCurrent(address, listener)) return;
    const uint64_t generation = ++pauseGeneration_;
    if (reason) {
        pauses_[address] =
            Pause{"Too many connections at once on " + address +
                      ": new ones wait until others close (" + reason->description + ").",
                  false, generation};
        return changed();
    }
    auto found = pauses_.find(address);
    if (found == pauses_.end()) return;
    found->second.resumed = true;
    found->second.generation = generation;
    mainQueue_->postAfter(kPauseNoticeSeconds, [weak = weak_from_this(), address, generation] {
        if (auto self = weak.lock()) self->forgetPause(address, generation);
    });
}

void DirectListeners::forgetPause(const std::string& address, uint64_t generation) {
    auto found = pauses_.find(address);
    if (found == pauses_.end() || !found->second.resumed || found->second.generation != generation)
        return;
    pauses_.erase(found);
    changed();
}

void DirectListeners::keepOnly(const std::vector<std::string>& addresses) {
    platform::assertOnQueue(*mainQueue_);
    auto kept = [&](const std::string& address) {
        return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
    };
    std::vector<std::string> gone;
    for (const auto& address : order_) {
        if (!kept(address)) gone.push_back(address);
    }
    for (const auto& address : gone) {
        drop(address);
        failures_.erase(address);
        pauses_.erase(address);
        std::erase(order_, address);
    }
}

void DirectListeners::closeAll() {
    keepOnly({});
}

void DirectListeners::drop(const std::string& address) {
    auto found = listeners_.find(address);
    if (found == listeners_.end()) return;
    auto& listener = found->second.listener;
    listener->setStateHandler({});
    listener->setNewConnectionHandler({});
    listener->setPauseHandler({});
    listener->cancel();
    listeners_.erase(found);
    pauses_.erase(address);
}

bool DirectListeners::anyReady() const {
    return std::any_of(listeners_.begin(), listeners_.end(),
                       [](const auto& entry) { return entry.second.ready; });
}

std::optional<std::string> DirectListeners::failedAddress() const {
    if (anyReady()) return std::nullopt;
    for (const auto& address : order_) {
        if (failures_.count(address)) return address;
    }
    return std::nullopt;
}

std::optional<std::string> DirectListeners::notice() const {
    for (const auto& address : order_) {
        if (auto found = failures_.find(address); found != failures_.end()) return found->second;
    }
    for (const auto& address : order_) {
        if (auto found = pauses_.find(address); found != pauses_.end()) return found->second.reason;
    }
    return std::nullopt;
}

std::map<std::string, ListenerPtr> DirectListeners::listeners() const {
    std::map<std::string, ListenerPtr> all;
    for (const auto& [address, entry] : listeners_) all[address] = entry.listener;
    return all;
}

void DirectListeners::changed() {
    if (auto callback = onChange) callback();
}

}  // namespace caldrovex
