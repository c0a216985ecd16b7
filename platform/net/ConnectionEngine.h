#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/net/ByteStream.h"
#include "platform/net/Connection.h"
#include "platform/net/QueueBinding.h"
#include "platform/net/ReceiveQueue.h"

namespace caldrovex::platform::net {

// The working part of a real connection: dialling (or taking an accepted socket), TLS, the
// state sequence, the send and receive queues. `AsioConnection` is its owner's face; it
// cancels the engine when dropped, since pending I/O keeps the engine itself alive.
//
// Threads: the public methods may be called from any thread. Everything they do is handed
// to the engine's strand as a command (held until `start` picks the strand), and only the
// strand touches the stream, the queues and the phase. What other threads may read (state,
// handler, peer details) sits behind `mutex_`, never held while user code runs. Handlers and
// completions reach the owner's queue through the QueueBinding.
//
// States: setup → preparing → ready → cancelled, or → failed (with the error's description)
// from preparing or ready. Connection errors fail at once; nothing waits and retries.
class ConnectionEngine : public std::enable_shared_from_this<ConnectionEngine> {
public:
    // Dials `to` once started.
    static std::shared_ptr<ConnectionEngine> outgoing(Endpoint to, Parameters parameters);
    // Serves a socket a listener accepted; `serverTls` null for a plain stream.
    static std::shared_ptr<ConnectionEngine> accepted(RawSocket socket, Parameters parameters,
                                                      TlsContext::Ptr serverTls);

    void setStateHandler(Connection::StateHandler handler);
    State state() const;
    void start(QueuePtr queue);
    void send(Bytes content, Connection::SendCompletion completion, bool endOfStream);
    void receive(size_t minimum, size_t maximum, Connection::ReceiveCompletion completion);
    void cancel();
    std::optional<Endpoint> remoteEndpoint() const;
    std::vector<CertificateDer> peerCertificates() const;

    ConnectionEngine(Parameters parameters, std::optional<Endpoint> destination,
                     std::optional<RawSocket> accepted, TlsContext::Ptr tls);

private:
    enum class Phase { idle, preparing, ready, ended };

    struct PendingSend {
        Bytes content;
        bool endOfStream = false;
        Connection::SendCompletion completion;
    };

    using Command = std::function<void(ConnectionEngine&)>;
    void run(Command command);

    // Strand only, from here on; each checks it first (checkStrand).
    void begin();
    void dial(const Endpoint& to);
    void onConnected(const std::error_code& error);
    void onHandshake(const std::error_code& error);
    void onVerified(bool accepted);
    void becomeReady();
    void onTimeout();

    void enqueueSend(PendingSend send);
    void pumpWrites();
    void onWritten(const std::error_code& error);

    void enqueueReceive(size_t minimum, size_t maximum, Connection::ReceiveCompletion completion);
    void serviceReceives();
    void readMore(size_t needed, size_t wanted);
    void onRead(const std::error_code& error, size_t count);

    void fail(const std::string& description);
    void doCancel();
    void end(State state, NetError error);

    void setState(State state);
    void deliverSend(Connection::SendCompletion completion, std::optional<NetError> error);
    void deliverReceive(Connection::ReceiveCompletion completion, std::optional<Bytes> data,
                        bool isComplete, std::optional<NetError> error);
    const QueueBinding& binding() const { return *binding_; }
    // Debug builds stop the program unless this runs on the strand.
    void checkStrand(const char* function = __builtin_FUNCTION(),
                     const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) const;

    // Fixed at construction.
    const Parameters parameters_;
    const std::optional<Endpoint> destination_;
    const bool isServer_;

    // Shared with other threads, behind the mutex. `binding_` is set once by `start`, before
    // the first command reaches the strand, and never changes after.
    mutable std::mutex mutex_;
    std::optional<QueueBinding> binding_;
    std::vector<Command> held_;
    Connection::StateHandler stateHandler_;
    State state_;
    std::optional<Endpoint> remote_;
    std::vector<CertificateDer> peerCertificates_;

    // The strand's own.
    Phase phase_ = Phase::idle;
    bool cancelled_ = false;
    NetError endError_;
    TlsContext::Ptr tls_;
    std::optional<RawSocket> acceptedSocket_;
    std::unique_ptr<ByteStream> stream_;
    std::unique_ptr<asio::ip::tcp::resolver> resolver_;
    std::unique_ptr<asio::steady_timer> timer_;

    std::deque<PendingSend> sends_;
    std::optional<PendingSend> writing_;
    bool outputEnded_ = false;

    ReceiveQueue receives_;
    Bytes readBuffer_;
    bool reading_ = false;
};

}  // namespace caldrovex::platform::net
