#include "platform/InstanceClient.h"

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <chrono>
#include <istream>

#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

std::optional<std::string> InstanceClient::exchange(const std::filesystem::path& socket,
                                                    const std::string& request, double seconds) {
    using asio::local::stream_protocol;
    asio::io_context io;
    stream_protocol::socket peer(io);
    std::error_code error;
    peer.connect(stream_protocol::endpoint(socket.string()), error);
    // No socket file, or a file nobody accepts on (a host that was killed).
    if (error.value() == ENOENT || error.value() == ECONNREFUSED) return std::nullopt;
    if (error)
        throw CaldrovexError("The running host could not be reached at " + socket.string() + " (" +
                             error.message() + ").");

    const std::string line = request + "\n";
    asio::streambuf reply;
    std::error_code failure;
    bool answered = false;
    asio::async_write(peer, asio::buffer(line), [&](std::error_code written, size_t) {
        if (written) {
            failure = written;
            return;
        }
        asio::async_read_until(peer, reply, '\n', [&](std::error_code read, size_t) {
            failure = read;
            answered = !read;
        });
    });
    io.run_for(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds)));
    if (!answered && !failure)
        throw CaldrovexError("The running host did not answer within " +
                             std::to_string(static_cast<int>(seconds)) + " seconds.");
    if (!answered)
        throw CaldrovexError("The running host broke off the exchange (" + failure.message() +
                             ").");
    std::istream in(&reply);
    std::string text;
    std::getline(in, text);
    return text;
}

}  // namespace caldrovex::platform
