#pragma once

#include <optional>

#include "platform/net/Connection.h"

namespace caldrovex::test {

// Passes everything through to an inner connection (usually one end of a MemoryConnection
// pair) but reports a chosen remote endpoint, so a test can stand in for many remote hosts.
class AddressedConnection final : public platform::net::Connection {
public:
    AddressedConnection(platform::net::ConnectionPtr inner,
                        std::optional<platform::net::Endpoint> remote)
        : inner_(std::move(inner)), remote_(std::move(remote)) {}

    void setStateHandler(StateHandler handler) override {
        inner_->setStateHandler(std::move(handler));
    }
    platform::net::State state() const override { return inner_->state(); }
    void start(platform::QueuePtr queue) override { inner_->start(std::move(queue)); }
    void send(platform::net::Bytes content, SendCompletion completion) override {
        inner_->send(std::move(content), std::move(completion));
    }
    void sendEndOfStream(SendCompletion completion) override {
        inner_->sendEndOfStream(std::move(completion));
    }
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override {
        inner_->receive(minimum, maximum, std::move(completion));
    }
    void cancel() override { inner_->cancel(); }
    std::optional<platform::net::Endpoint> remoteEndpoint() const override { return remote_; }
    std::vector<platform::net::CertificateDer> peerCertificates() const override {
        return inner_->peerCertificates();
    }

private:
    const platform::net::ConnectionPtr inner_;
    const std::optional<platform::net::Endpoint> remote_;
};

}  // namespace caldrovex::test
