#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "tools/relay/RelayRequest.h"
#include "tools/relay/WatchedConnection.h"

namespace caldrovex::relay {

// One connection to the relay service, from its arrival until it is handed to a splice or
// closed: it reads the request line (at most RelayRequest::kMaxLine bytes), answers with reply
// words, is watched while it waits, and ends politely (a last word, the end of our side, then
// the peer's close, which the service bounds in time).
//
// The service decides; the peer only carries out. Contract: owned by the service through
// std::shared_ptr; the connection and every callback run on `queue`; callbacks hold the
// service weakly. `onClosed` runs once when the connection is gone, never after `handOver`.
class RelayPeer : public std::enable_shared_from_this<RelayPeer> {
public:
    enum class Phase { reading, waiting, held, ending, spliced, closed };

    // Bytes asked for per read of the request line.
    static constexpr size_t kLineReadSize = 1024;

    static std::shared_ptr<RelayPeer> make(uint64_t id, platform::net::ConnectionPtr connection,
                                           platform::QueuePtr queue, double now);

    const uint64_t id;
    // The remote address, for logs and limits ("unknown" when the system does not say).
    const std::string source;
    const platform::QueuePtr queue;

    Phase phase = Phase::reading;
    // When the current phase began, and when the last keep-alive went out.
    double since = 0;
    double lastKeep = 0;
    // Set once the line arrived and reads as a request.
    std::optional<RelayRequest> request;
    // Bytes that followed the request line in the same read.
    platform::net::Bytes early;

    // The line arrived: `request` is set, or not when the line was not one.
    std::function<void()> onRequest;
    std::function<void()> onClosed;
    // A waiting or held peer's stream brought bytes, ended or failed.
    std::function<void(WatchedConnection::Activity)> onActivity;

    // Starts the connection and reads the request line.
    void start();
    // Sends `word` and a line feed.
    void reply(std::string_view word);
    // Keeps a read outstanding (see WatchedConnection); enters `phase` at `now`.
    void watch(Phase phase, double now);
    // Sends `word`, ends our side and closes once the peer closed too.
    void endWith(std::string_view word, double now);
    void close();
    // The stream, for a splice; the peer is done with it.
    platform::net::ConnectionPtr handOver();

    // "host link #7 (192.0.2.1)", "device #8 (…)" or "link #9 (…)" before the request.
    std::string label() const;

private:
    RelayPeer(uint64_t id, platform::net::ConnectionPtr connection, platform::QueuePtr queue,
              double now);

    void readLine();
    void received(const std::optional<platform::net::Bytes>& data, bool ended);
    void drain();

    platform::net::ConnectionPtr connection_;
    std::shared_ptr<WatchedConnection> watched_;
    platform::net::Bytes line_;
};

}  // namespace caldrovex::relay
