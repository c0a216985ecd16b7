#pragma once

#include <sys/types.h>

#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/net/ByteStream.h"
#include "platform/net/Connection.h"
#include "platform/net/QueueBinding.h"
#include "platform/net/TlsContext.h"

namespace caldrovex::platform::net {

// The working part of a listener; `AsioListener` is its owner's face and cancels it when
// dropped, since the pending accept keeps the engine alive.
//
// On start it binds exactly to the parameters' required local endpoint (TCP host:port, port 0
// for any free port, or a unix path), then reports `ready` or `failed` with the reason. Each
// accepted socket becomes an unstarted AsioConnection carrying the listener's parameters (TCP
// options apply to it; with TLS it is the server side of the handshake) and is handed to the
// new-connection handler on the owner's queue; one arriving while no handler is set is closed.
// Cancel closes the socket and removes the unix socket file the listener created (if it is
// still the one it bound). A unix path left behind by a listener that died is reclaimed when
// nothing answers on it.
//
// Accepting stays within the process's descriptor budget (DescriptorBudget): when the budget
// is spent or the system refuses a descriptor, the listener pauses for a moment and tries
// again, leaving connections in the backlog, and tells the pause handler; a connect flood thus
// slows accepting down but never ends the listener. Errors of one incoming connection (it
// was aborted, the network went away under it) only skip that connection.
//
// Threads: public methods from any thread; the acceptors live on the engine's strand.
class ListenerEngine : public std::enable_shared_from_this<ListenerEngine> {
public:
    explicit ListenerEngine(Parameters parameters);

    void setStateHandler(Listener::StateHandler handler);
    void setNewConnectionHandler(Listener::NewConnectionHandler handler);
    void setPauseHandler(Listener::PauseHandler handler);
    void start(QueuePtr queue);
    void cancel();
    std::optional<Endpoint> localEndpoint() const;

private:
    enum class Phase { idle, ready, ended };

    // Strand only, from here on; each checks it first (checkStrand).
    void begin();
    std::error_code bindTcp(const HostPort& where);
    std::error_code bindUnix(const UnixPath& where);
    void acceptNext();
    void onAccepted(const std::error_code& error, RawSocket socket);
    void deliver(RawSocket socket);
    // Stops accepting for a moment, telling the pause handler why (once per pause).
    void pause(const std::string& reason);
    void reportPause(std::optional<NetError> reason);
    void fail(const std::string& description);
    void doCancel();
    void closeAll();
    void setState(State state);
    const QueueBinding& binding() const { return *binding_; }
    // Debug builds stop the program unless this runs on the strand.
    void checkStrand(const char* function = __builtin_FUNCTION(),
                     const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) const;

    const Parameters parameters_;

    // Shared with other threads, behind the mutex; `binding_` is set once by `start`.
    mutable std::mutex mutex_;
    std::optional<QueueBinding> binding_;
    bool cancelledBeforeStart_ = false;
    Listener::StateHandler stateHandler_;
    Listener::NewConnectionHandler newConnectionHandler_;
    Listener::PauseHandler pauseHandler_;
    std::optional<Endpoint> local_;

    // The strand's own.
    Phase phase_ = Phase::idle;
    bool cancelled_ = false;
    TlsContext::Ptr tls_;
    std::unique_ptr<asio::ip::tcp::acceptor> tcpAcceptor_;
    std::unique_ptr<asio::local::stream_protocol::acceptor> unixAcceptor_;
    // Accepting paused for want of descriptors; the timer resumes it.
    bool paused_ = false;
    std::unique_ptr<asio::steady_timer> resumeTimer_;
    std::optional<std::string> createdPath_;
    ino_t createdInode_ = 0;
    dev_t createdDevice_ = 0;
};

}  // namespace caldrovex::platform::net
