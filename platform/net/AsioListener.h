#pragma once

#include <memory>

#include "platform/net/Connection.h"
#include "platform/net/ListenerEngine.h"

namespace caldrovex::platform::net {

// A listener on the real network stack, as handed out by `makeListener`. A thin owner of a
// ListenerEngine: dropping the last reference cancels it (closing the socket, removing a unix
// socket file it created).
class AsioListener final : public Listener {
public:
    explicit AsioListener(std::shared_ptr<ListenerEngine> engine) : engine_(std::move(engine)) {}
    ~AsioListener() override { engine_->cancel(); }

    void setStateHandler(StateHandler handler) override {
        engine_->setStateHandler(std::move(handler));
    }
    void setNewConnectionHandler(NewConnectionHandler handler) override {
        engine_->setNewConnectionHandler(std::move(handler));
    }
    void setPauseHandler(PauseHandler handler) override {
        engine_->setPauseHandler(std::move(handler));
    }
    void start(QueuePtr queue) override { engine_->start(std::move(queue)); }
    void cancel() override { engine_->cancel(); }
    std::optional<Endpoint> localEndpoint() const override { return engine_->localEndpoint(); }

private:
    std::shared_ptr<ListenerEngine> engine_;
};

}  // namespace caldrovex::platform::net
