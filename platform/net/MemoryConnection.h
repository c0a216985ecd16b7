#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/net/Connection.h"

namespace caldrovex::platform::net {

// Two connected in-memory byte streams, for unit tests of code built on `Connection`.
//
// Behaves like a plain stream that is up at once: `start` reports `ready` (no TLS, no
// `preparing`), bytes sent on one end arrive in order at the other, `sendEndOfStream` makes the
// peer's receives report `isComplete` after the bytes sent before it, and `cancel` (or
// destroying an end) does the same for the peer while failing this end's own pending
// completions. Bytes sent to a peer that has cancelled are accepted and dropped, as a socket's
// first write after the peer closed would be.
//
// Every handler and completion is posted to the queue given to `start`, never run inside the
// calling method, so a ManualQueue test steps the exchange with `runReady()`. Work asked for
// before `start` waits for it; a connection cancelled before `start` reports `cancelled` and
// fails that work when it is started. Methods may be called from any thread.
class MemoryConnection final : public Connection {
  public:
    using Ptr = std::shared_ptr<MemoryConnection>;
    static std::pair<Ptr, Ptr> makePair();

    ~MemoryConnection() override;

    void setStateHandler(StateHandler handler) override;
    State state() const override;
    void start(QueuePtr queue) override;
    void send(Bytes content, SendCompletion completion) override;
    void sendEndOfStream(SendCompletion completion) override;
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override;
    void cancel() override;
    std::optional<Endpoint> remoteEndpoint() const override { return std::nullopt; }
    std::vector<CertificateDer> peerCertificates() const override;

    // What `peerCertificates()` answers, so tests can stand in for a TLS peer's chain.
    void setPeerCertificates(std::vector<CertificateDer> chain);

    struct Pipe;  // state shared by both ends; defined in the source

  private:
    MemoryConnection(std::shared_ptr<Pipe> pipe, int side);

    std::shared_ptr<Pipe> pipe_;
    int side_;
};

}  // namespace caldrovex::platform::net
