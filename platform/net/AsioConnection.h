#pragma once

#include <memory>

#include "platform/net/Connection.h"
#include "platform/net/ConnectionEngine.h"

namespace caldrovex::platform::net {

// A connection on the real network stack, as handed out by `makeConnection` and by listeners.
// A thin owner of a ConnectionEngine: dropping the last reference cancels the connection, so
// an owner that forgets to cancel does not leave a socket open behind pending reads.
class AsioConnection final : public Connection {
public:
    explicit AsioConnection(std::shared_ptr<ConnectionEngine> engine)
        : engine_(std::move(engine)) {}
    ~AsioConnection() override { engine_->cancel(); }

    void setStateHandler(StateHandler handler) override {
        engine_->setStateHandler(std::move(handler));
    }
    State state() const override { return engine_->state(); }
    void start(QueuePtr queue) override { engine_->start(std::move(queue)); }
    void send(Bytes content, SendCompletion completion) override {
        engine_->send(std::move(content), std::move(completion), false);
    }
    void sendEndOfStream(SendCompletion completion) override {
        engine_->send({}, std::move(completion), true);
    }
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override {
        engine_->receive(minimum, maximum, std::move(completion));
    }
    void cancel() override { engine_->cancel(); }
    std::optional<Endpoint> remoteEndpoint() const override { return engine_->remoteEndpoint(); }
    std::vector<CertificateDer> peerCertificates() const override {
        return engine_->peerCertificates();
    }

private:
    std::shared_ptr<ConnectionEngine> engine_;
};

}  // namespace caldrovex::platform::net
