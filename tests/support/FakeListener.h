#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/Connection.h"

namespace caldrovex::test {

// A listener that binds nothing: the test reports its states and hands it connections, and
// both arrive on the listener's queue like a real one's events (handlers are looked up when
// the posted work runs, so a removed handler is not called).
class FakeListener final : public platform::net::Listener {
public:
    explicit FakeListener(platform::net::Parameters parameters);

    void setStateHandler(StateHandler handler) override { stateHandler = std::move(handler); }
    void setNewConnectionHandler(NewConnectionHandler handler) override {
        newConnectionHandler = std::move(handler);
    }
    void setPauseHandler(PauseHandler handler) override { pauseHandler = std::move(handler); }
    void start(platform::QueuePtr queue) override;
    void cancel() override { cancelled = true; }
    std::optional<platform::net::Endpoint> localEndpoint() const override {
        return parameters.requiredLocalEndpoint;
    }

    // The host part of the required local endpoint ("" for other endpoints).
    std::string address() const;

    void reportState(platform::net::State state);
    // Accepting paused for `reason`, or resumed (nullopt).
    void reportPause(std::optional<platform::net::NetError> reason);
    void deliver(platform::net::ConnectionPtr connection);

    const platform::net::Parameters parameters;
    platform::QueuePtr queue;
    bool started = false;
    bool cancelled = false;
    StateHandler stateHandler;
    NewConnectionHandler newConnectionHandler;
    PauseHandler pauseHandler;
};

// Makes FakeListeners and remembers them; can be told to fail.
class FakeListenerFactory {
public:
    platform::net::ListenerPtr make(const platform::net::Parameters& parameters);

    // The newest listener made for `address` that is not cancelled, or null.
    std::shared_ptr<FakeListener> live(const std::string& address) const;
    // Every listener not cancelled, in order of making.
    std::vector<std::shared_ptr<FakeListener>> liveListeners() const;

    std::vector<std::shared_ptr<FakeListener>> made;
    // When set, `make` throws a CaldrovexError with this text.
    std::optional<std::string> failure;
};

}  // namespace caldrovex::test
