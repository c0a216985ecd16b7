#include "reach/RelayForwarder.h"

namespace caldrovex {

using platform::net::ConnectionPtr;
using platform::net::State;
using platform::net::StateKind;

std::shared_ptr<RelayForwarder> RelayForwarder::make(RelayEndpoint endpoint, std::string rendezvous,
                                                     platform::QueuePtr queue) {
    return std::shared_ptr<RelayForwarder>(
        new RelayForwarder(std::move(endpoint), std::move(rendezvous), std::move(queue)));
}

RelayForwarder::RelayForwarder(RelayEndpoint endpoint, std::string rendezvous,
                               platform::QueuePtr queue)
    : endpoint(std::move(endpoint)), rendezvous(std::move(rendezvous)), queue(std::move(queue)) {}

RelayForwarder::~RelayForwarder() {
    cancel();
}

void RelayForwarder::start() {
    platform::net::Parameters parameters;
    parameters.requiredLocalEndpoint = platform::net::HostPort{"127.0.0.1", 0};
    listener_ = platform::net::makeListener(parameters);
    std::weak_ptr<RelayForwarder> weak = weak_from_this();
    listener_->setStateHandler([weak](const State& state) {
        if (auto self = weak.lock()) self->listenerChanged(state);
    });
    listener_->setNewConnectionHandler([weak](ConnectionPtr connection) {
        if (auto self = weak.lock()) return self->accepted(std::move(connection));
        connection->cancel();
    });
    listener_->start(queue);
}

void RelayForwarder::cancel() {
    if (listener_) listener_->cancel();
    if (link_) link_->cancel();
    if (splice_) splice_->close();
    if (local_) local_->cancel();
    local_.reset();
}

void RelayForwarder::listenerChanged(const State& state) {
    if (state.kind == StateKind::failed) return ready(std::nullopt);
    if (state.kind != StateKind::ready || served_) return;
    const auto local = listener_->localEndpoint();
    const auto* where = local ? std::get_if<platform::net::HostPort>(&*local) : nullptr;
    ready(where ? std::optional<uint16_t>(where->port) : std::nullopt);
}

void RelayForwarder::ready(std::optional<uint16_t> port) {
    auto callback = std::move(onReady);
    onReady = nullptr;
    if (callback) callback(port);
}

void RelayForwarder::accepted(ConnectionPtr connection) {
    if (served_) return connection->cancel();
    served_ = true;
    local_ = std::move(connection);
    listener_->cancel();
    link_ = RelayLink::make(endpoint, RelayLink::Role::device, {rendezvous}, queue);
    std::weak_ptr<RelayForwarder> weak = weak_from_this();
    link_->onOutcome = [weak](RelayLink::Outcome outcome) {
        if (auto self = weak.lock()) self->linkOutcome(std::move(outcome));
    };
    link_->start();
}

void RelayForwarder::linkOutcome(RelayLink::Outcome outcome) {
    using Kind = RelayLink::Outcome::Kind;
    if (outcome.kind == Kind::waiting) return;
    link_.reset();
    if (outcome.kind == Kind::paired) {
        splice_ = Splice::make(std::move(outcome.connection), local_, queue);
        splice_->start(std::move(outcome.leftover));
        return;
    }
    // Not started yet: only dropping it closes the socket under the device's client.
    local_->cancel();
    local_.reset();
    if (outcome.kind == Kind::offline) {
        auto callback = std::move(onOffline);
        onOffline = nullptr;
        if (callback) callback();
        return;
    }
    auto callback = std::move(onFailed);
    onFailed = nullptr;
    if (callback) callback(outcome.message);
}

}  // namespace caldrovex
