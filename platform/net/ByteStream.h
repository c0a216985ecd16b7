#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/ssl/stream.hpp>
#include <functional>
#include <optional>
#include <system_error>
#include <variant>

#include "platform/SerialQueue.h"
#include "platform/net/Endpoint.h"
#include "platform/net/Parameters.h"
#include "platform/net/TlsContext.h"

namespace caldrovex::platform::net {

using TcpSocket = asio::ip::tcp::socket;
using UnixSocket = asio::local::stream_protocol::socket;
// A connected (accepted) or not yet connected transport, before any TLS is layered on it.
using RawSocket = std::variant<TcpSocket, UnixSocket>;

// One transport (TCP or unix path), with or without TLS on it, behind one set of operations.
//
// Owned and used by a single connection engine on its strand: every operation must be started
// there, and every handler is bound to that strand, whatever executor the socket was made
// with (accepted sockets come with their listener's). At most one read and one write may be
// outstanding at a time. The TLS context must outlive the stream; the stream keeps a reference.
class ByteStream {
public:
    using Strand = SerialQueue::Executor;
    using Handler = std::function<void(const std::error_code&)>;
    using IoHandler = std::function<void(const std::error_code&, size_t)>;

    // `tls` null: a plain stream. `tlsServer` selects the handshake role.
    ByteStream(Strand strand, RawSocket socket, TlsContext::Ptr tls, bool tlsServer);

    bool isTls() const { return tls_ != nullptr; }
    SSL* ssl();  // null without TLS

    void connect(const asio::ip::tcp::resolver::results_type& endpoints, Handler handler);
    void connect(const asio::local::stream_protocol::endpoint& endpoint, Handler handler);
    // Sets the TCP options that apply to a connected TCP socket; unix paths have none.
    std::error_code applyTcpOptions(const TcpOptions& options);

    // TLS only: sends the server name when not empty, then runs the handshake.
    void handshake(const std::string& serverName, Handler handler);
    void readSome(asio::mutable_buffer buffer, IoHandler handler);
    void write(asio::const_buffer buffer, IoHandler handler);
    // Ends this side: a TLS close_notify (keeping the read side usable), then a send shutdown.
    void endOutput(Handler handler);
    // Closes at once; outstanding operations complete with operation_aborted. With
    // `closeNotify`, a TLS stream first tries to hand its close_notify to the socket without
    // waiting, so the peer sees an orderly end; only valid after the handshake and with no
    // write in flight, where the record cannot split another one.
    void close(bool closeNotify);

    std::optional<Endpoint> remoteEndpoint();

private:
    using TlsTcp = asio::ssl::stream<TcpSocket>;
    using TlsUnix = asio::ssl::stream<UnixSocket>;

    template <typename Function>
    decltype(auto) visit(Function&& function) {
        return std::visit(std::forward<Function>(function), stream_);
    }

    Strand strand_;
    TlsContext::Ptr tls_;
    bool tlsServer_;
    std::variant<TcpSocket, UnixSocket, TlsTcp, TlsUnix> stream_;
    Bytes closeNotify_;  // kept alive while it is being written
};

// The peer of a connected TCP socket; absent for unix paths and when the socket no longer
// knows it (the peer already went away).
std::optional<Endpoint> remoteEndpointOf(const RawSocket& socket);

// True for the ways a peer may end its side of a stream (with or without TLS close_notify).
bool isEndOfStream(const std::error_code& error);

}  // namespace caldrovex::platform::net
