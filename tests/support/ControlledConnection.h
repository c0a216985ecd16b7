#pragma once

#include <deque>
#include <mutex>
#include <optional>

#include "platform/net/Connection.h"

namespace caldrovex::test {

// Wraps a connection (usually one end of a MemoryConnection pair) so a test can hold back
// write completions and report states the inner stream would not produce.
//
// While writes are held, sent bytes still reach the inner connection (the peer reads them)
// but the completion is kept until `releaseWrites` or `failWrites`, as on a network that
// took the bytes and never acknowledged them. `cancel` fails whatever is still held, as the
// real connection's cancel does. Everything else is passed through. Held completions run on
// the queue given to `start`.
class ControlledConnection final : public platform::net::Connection {
public:
    explicit ControlledConnection(platform::net::ConnectionPtr inner);

    void setStateHandler(StateHandler handler) override;
    platform::net::State state() const override { return inner_->state(); }
    void start(platform::QueuePtr queue) override;
    void send(platform::net::Bytes content, SendCompletion completion) override;
    void sendEndOfStream(SendCompletion completion) override;
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override;
    void cancel() override;
    std::optional<platform::net::Endpoint> remoteEndpoint() const override;
    std::vector<platform::net::CertificateDer> peerCertificates() const override;

    // From now on, keep send completions instead of running them.
    void holdWrites();
    size_t heldWrites() const;
    // Runs the held completions without error and stops holding.
    void releaseWrites();
    // Runs the held completions with `error` and stops holding.
    void failWrites(platform::net::NetError error);
    // Makes the next `receive` fail with `error` instead of reading.
    void failNextReceive(platform::net::NetError error);
    // Calls the installed state handler with `state` on the queue, as the inner stream would.
    // The test keeps this object alive until the queue has run.
    void reportState(platform::net::State state);
    bool cancelled() const;

private:
    void completeHeld(std::optional<platform::net::NetError> error);

    const platform::net::ConnectionPtr inner_;
    mutable std::mutex mutex_;
    platform::QueuePtr queue_;
    StateHandler stateHandler_;
    bool holding_ = false;
    bool cancelled_ = false;
    std::deque<SendCompletion> held_;
    std::optional<platform::net::NetError> receiveFailure_;
};

}  // namespace caldrovex::test
