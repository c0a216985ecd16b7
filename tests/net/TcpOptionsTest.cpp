// TCP options reach the socket: checked with getsockopt on a connected loopback socket.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <asio/io_context.hpp>

#include "platform/SerialQueue.h"
#include "platform/net/ByteStream.h"

using namespace caldrovex::platform;
using namespace caldrovex::platform::net;

namespace {

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    EXPECT_EQ(::getsockopt(fd, level, name, &value, &length), 0);
    return value;
}

TEST(TcpOptions, AreAppliedToTheConnectedSocket) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    TcpSocket client(io);
    client.connect(acceptor.local_endpoint());
    TcpSocket accepted(io);
    acceptor.accept(accepted);
    int fd = accepted.native_handle();

    auto queue = SerialQueue::make("caldrovex.test.options");
    ByteStream stream(queue->executor(), RawSocket(std::move(accepted)), nullptr, false);
    TcpOptions options;
    options.noDelay = true;
    options.enableKeepalive = true;
    options.keepaliveIdle = 7;
    options.keepaliveInterval = 3;
    options.keepaliveCount = 4;
    EXPECT_FALSE(stream.applyTcpOptions(options));

    EXPECT_NE(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 3);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);

    // Defaults switch both off again; a zero leaves the socket's timing values as they were.
    TcpOptions plain;
    EXPECT_FALSE(stream.applyTcpOptions(plain));
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 0);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 7);
}

}  // namespace
