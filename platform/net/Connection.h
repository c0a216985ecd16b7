#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Queue.h"
#include "platform/net/Endpoint.h"
#include "platform/net/Parameters.h"

namespace caldrovex::platform::net {

using Bytes = std::vector<uint8_t>;

// A failure reported by the network layer; `description` is the text shown to the user.
struct NetError {
    std::string description;
    bool operator==(const NetError&) const = default;
};

enum class StateKind { setup, preparing, waiting, ready, failed, cancelled };

// A connection's or listener's state; `error` is set for `waiting` and `failed`.
struct State {
    StateKind kind = StateKind::setup;
    std::optional<NetError> error;
};

// One byte stream (TCP or unix path, optionally TLS), in the shape callers rely on:
//
//  - states run setup → (preparing) → ready → cancelled, or end in failed / cancelled;
//    the state handler sees each change on the connection's queue;
//  - `start` is called once, with the serial queue on which every handler and completion
//    runs; sends made before the stream is ready are held and go out once it is;
//  - bytes of successive `send` calls leave in call order; each completion runs exactly once
//    (with an error when the bytes could not be written, including after cancel);
//  - each `receive` completion runs exactly once, with between `minimum` and `maximum` bytes,
//    or fewer when the stream ended (`isComplete`) or failed (`error`);
//  - `cancel` is idempotent and callable from any thread; afterwards the state is
//    `cancelled` and pending completions run with an error.
//
// Methods may be called from any thread; they hand their work to the connection's queue.
class Connection {
public:
    using StateHandler = std::function<void(const State&)>;
    using SendCompletion = std::function<void(std::optional<NetError>)>;
    using ReceiveCompletion =
        std::function<void(std::optional<Bytes> data, bool isComplete, std::optional<NetError>)>;

    virtual ~Connection() = default;

    // Installs (or, with an empty function, removes) the state handler. The handler is looked
    // up when a change is delivered, so one removed on the queue is not called afterwards.
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual State state() const = 0;
    virtual void start(QueuePtr queue) = 0;
    virtual void send(Bytes content, SendCompletion completion) = 0;
    // Ends this side of the stream after everything sent before it (TCP half-close).
    virtual void sendEndOfStream(SendCompletion completion) = 0;
    virtual void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) = 0;
    virtual void cancel() = 0;

    // The peer's address as far as known (absent for unix paths and in-memory streams); an
    // accepted connection knows it before it is started.
    virtual std::optional<Endpoint> remoteEndpoint() const = 0;
    // The certificate chain the TLS peer presented, leaf first; empty without TLS or before
    // the handshake finished.
    virtual std::vector<CertificateDer> peerCertificates() const = 0;
};

using ConnectionPtr = std::shared_ptr<Connection>;

// Accepts connections on one local endpoint.
//
//  - `start` binds exactly to the parameters' `requiredLocalEndpoint` and reports `ready`,
//    or `failed` with the reason (address in use, address not on this machine, …);
//  - each accepted connection is handed, unstarted, to the new-connection handler once;
//  - `cancel` closes the socket (and removes a unix socket file it created); idempotent.
class Listener {
public:
    using StateHandler = std::function<void(const State&)>;
    using NewConnectionHandler = std::function<void(ConnectionPtr)>;

    virtual ~Listener() = default;

    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
    virtual void start(QueuePtr queue) = 0;
    virtual void cancel() = 0;
    // The bound endpoint once ready (with the actual port when port 0 was asked for).
    virtual std::optional<Endpoint> localEndpoint() const = 0;
};

using ListenerPtr = std::shared_ptr<Listener>;

// Builds connections and listeners on the real network stack (Asio + OpenSSL). Failures to
// connect, handshake or bind are reported as `failed` at once: nothing sits in `waiting` and
// retries. Dropping the last reference to a connection or listener cancels it.
ConnectionPtr makeConnection(const Endpoint& to, const Parameters& parameters);
ListenerPtr makeListener(const Parameters& parameters);

}  // namespace caldrovex::platform::net
