#include "platform/net/ByteStream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/write.hpp>
#include <type_traits>

namespace caldrovex::platform::net {

namespace {

template <typename T>
constexpr bool kIsTlsStream = std::is_same_v<T, asio::ssl::stream<TcpSocket>> ||
                              std::is_same_v<T, asio::ssl::stream<UnixSocket>>;

// The socket under any TLS layer.
template <typename Stream>
auto& lowest(Stream& stream) {
    if constexpr (kIsTlsStream<Stream>) {
        return stream.next_layer();
    } else {
        return stream;
    }
}

template <typename Variant>
Variant makeStream(RawSocket socket, asio::ssl::context* tls) {
    return std::visit(
        [tls](auto&& raw) -> Variant {
            using Raw = std::decay_t<decltype(raw)>;
            if (!tls) return Variant(std::in_place_type<Raw>, std::move(raw));
            return Variant(std::in_place_type<asio::ssl::stream<Raw>>, std::move(raw), *tls);
        },
        std::move(socket));
}

std::error_code setIntOption(int fd, int level, int name, int value) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) {
        return std::error_code(errno, std::system_category());
    }
    return {};
}

}  // namespace

bool isEndOfStream(const std::error_code& error) {
    if (error == asio::error::eof || error == asio::ssl::error::stream_truncated) return true;
    return error.category() == asio::error::get_ssl_category() &&
           ERR_GET_REASON(static_cast<unsigned long>(error.value())) ==
               SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

ByteStream::ByteStream(Strand strand, RawSocket socket, TlsContext::Ptr tls, bool tlsServer)
    : strand_(std::move(strand)),
      tls_(std::move(tls)),
      tlsServer_(tlsServer),
      stream_(makeStream<decltype(stream_)>(std::move(socket), tls_.get())) {}

SSL* ByteStream::ssl() {
    return visit([](auto& stream) -> SSL* {
        if constexpr (kIsTlsStream<std::decay_t<decltype(stream)>>) {
            return stream.native_handle();
        } else {
            return nullptr;
        }
    });
}

void ByteStream::connect(const asio::ip::tcp::resolver::results_type& endpoints, Handler handler) {
    visit([&](auto& stream) {
        auto& socket = lowest(stream);
        if constexpr (std::is_same_v<std::decay_t<decltype(socket)>, TcpSocket>) {
            asio::async_connect(
                socket, endpoints,
                asio::bind_executor(strand_, [handler](const std::error_code& error, const auto&) {
                    handler(error);
                }));
        } else {
            asio::post(strand_, [handler] { handler(asio::error::address_family_not_supported); });
        }
    });
}

void ByteStream::connect(const asio::local::stream_protocol::endpoint& endpoint, Handler handler) {
    visit([&](auto& stream) {
        auto& socket = lowest(stream);
        if constexpr (std::is_same_v<std::decay_t<decltype(socket)>, UnixSocket>) {
            socket.async_connect(endpoint, asio::bind_executor(strand_, handler));
        } else {
            asio::post(strand_, [handler] { handler(asio::error::address_family_not_supported); });
        }
    });
}

std::error_code ByteStream::applyTcpOptions(const TcpOptions& options) {
    return visit([&](auto& stream) -> std::error_code {
        auto& socket = lowest(stream);
        if constexpr (std::is_same_v<std::decay_t<decltype(socket)>, TcpSocket>) {
            std::error_code error;
            socket.set_option(asio::ip::tcp::no_delay(options.noDelay), error);
            if (!error)
                socket.set_option(asio::socket_base::keep_alive(options.enableKeepalive), error);
            if (error || !options.enableKeepalive) return error;
            int fd = socket.native_handle();
            if (options.keepaliveIdle > 0)
                error = setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, options.keepaliveIdle);
            if (!error && options.keepaliveInterval > 0)
                error = setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, options.keepaliveInterval);
            if (!error && options.keepaliveCount > 0)
                error = setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, options.keepaliveCount);
            return error;
        } else {
            return {};
        }
    });
}

void ByteStream::handshake(const std::string& serverName, Handler handler) {
    visit([&](auto& stream) {
        if constexpr (kIsTlsStream<std::decay_t<decltype(stream)>>) {
            if (!tlsServer_ && !serverName.empty()) {
                SSL_set_tlsext_host_name(stream.native_handle(), serverName.c_str());
            }
            stream.async_handshake(
                tlsServer_ ? asio::ssl::stream_base::server : asio::ssl::stream_base::client,
                asio::bind_executor(strand_, handler));
        } else {
            asio::post(strand_, [handler] { handler({}); });
        }
    });
}

void ByteStream::readSome(asio::mutable_buffer buffer, IoHandler handler) {
    visit([&](auto& stream) {
        stream.async_read_some(buffer, asio::bind_executor(strand_, handler));
    });
}

void ByteStream::write(asio::const_buffer buffer, IoHandler handler) {
    visit([&](auto& stream) {
        asio::async_write(stream, buffer, asio::bind_executor(strand_, handler));
    });
}

void ByteStream::endOutput(Handler handler) {
    auto shutdownSend = [this, handler](const std::error_code& error, size_t) {
        std::error_code shutdownError;
        visit([&](auto& stream) {
            lowest(stream).shutdown(asio::socket_base::shutdown_send, shutdownError);
        });
        handler(error ? error : shutdownError);
    };
    if (SSL* native = ssl()) closeNotify_ = TlsContext::closeNotifyRecord(native);
    if (closeNotify_.empty()) return asio::post(strand_, [shutdownSend] { shutdownSend({}, 0); });
    // The record goes straight to the transport: it is already encrypted.
    visit([&](auto& stream) {
        asio::async_write(lowest(stream), asio::buffer(closeNotify_),
                          asio::bind_executor(strand_, shutdownSend));
    });
}

void ByteStream::close(bool closeNotify) {
    SSL* native = closeNotify ? ssl() : nullptr;
    Bytes record = native ? TlsContext::closeNotifyRecord(native) : Bytes();
    visit([&](auto& stream) {
        auto& socket = lowest(stream);
        std::error_code ignored;  // best effort: a full or broken socket just closes
        if (!record.empty()) {
            socket.non_blocking(true, ignored);
            socket.write_some(asio::buffer(record), ignored);
        }
        socket.close(ignored);
    });
}

namespace {

std::optional<Endpoint> peerOf(const TcpSocket& socket) {
    std::error_code error;
    auto remote = socket.remote_endpoint(error);
    if (error) return std::nullopt;
    return HostPort{remote.address().to_string(), remote.port()};
}

std::optional<Endpoint> peerOf(const UnixSocket&) {
    return std::nullopt;
}

}  // namespace

std::optional<Endpoint> ByteStream::remoteEndpoint() {
    return visit([](auto& stream) { return peerOf(lowest(stream)); });
}

std::optional<Endpoint> remoteEndpointOf(const RawSocket& socket) {
    return std::visit([](const auto& raw) { return peerOf(raw); }, socket);
}

}  // namespace caldrovex::platform::net
