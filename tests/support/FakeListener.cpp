#include "support/FakeListener.h"

#include <variant>

#include "platform/CaldrovexError.h"

namespace caldrovex::test {

FakeListener::FakeListener(platform::net::Parameters parameters)
    : parameters(std::move(parameters)) {}

void FakeListener::start(platform::QueuePtr startQueue) {
    queue = std::move(startQueue);
    started = true;
}

std::string FakeListener::address() const {
    if (!parameters.requiredLocalEndpoint) return {};
    auto hostPort = std::get_if<platform::net::HostPort>(&*parameters.requiredLocalEndpoint);
    return hostPort ? hostPort->host : std::string();
}

void FakeListener::reportState(platform::net::State state) {
    queue->post([this, state] {
        if (auto handler = stateHandler) handler(state);
    });
}

void FakeListener::reportPause(std::optional<platform::net::NetError> reason) {
    queue->post([this, reason] {
        if (auto handler = pauseHandler) handler(reason);
    });
}

void FakeListener::deliver(platform::net::ConnectionPtr connection) {
    queue->post([this, connection] {
        if (auto handler = newConnectionHandler) handler(connection);
    });
}

platform::net::ListenerPtr FakeListenerFactory::make(const platform::net::Parameters& parameters) {
    if (failure) throw CaldrovexError(*failure);
    auto listener = std::make_shared<FakeListener>(parameters);
    made.push_back(listener);
    return listener;
}

std::shared_ptr<FakeListener> FakeListenerFactory::live(const std::string& address) const {
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        if (!(*it)->cancelled && (*it)->address() == address) return *it;
    }
    return nullptr;
}

std::vector<std::shared_ptr<FakeListener>> FakeListenerFactory::liveListeners() const {
    std::vector<std::shared_ptr<FakeListener>> live;
    for (const auto& listener : made) {
        if (!listener->cancelled) live.push_back(listener);
    }
    return live;
}

}  // namespace caldrovex::test
