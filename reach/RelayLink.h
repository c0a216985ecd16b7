#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "reach/RelayEndpoint.h"

namespace caldrovex {

// One outbound TLS link to the relay service. It registers a list of keys with one request
// line, "CALDROVEX/2 <ROLE> <key> <key>…\n", then reads the relay's one-word reply lines
// until the relay pairs it with the other side ("PAIRED") or ends it. When paired it hands
// over the live connection together with the bytes that already followed the "PAIRED" line,
// for its owner to splice; the link is then inert. A link is used once: after its final
// outcome the owner opens a new one.
//
// Reply lines are exact, case-sensitive words ("KEEP", "WAIT", "PAIRED", "OFFLINE", "FULL");
// anything else, a carriage return before the line feed included, ends the link. At most 511
// bytes may wait without a line feed after a read (reads bring at most 512), so a relay that
// never ends its line cannot make the link buffer without bound.
//
// With a pinned certificate hash the relay's leaf certificate alone decides (its SHA-256,
// compared in constant time and regardless of case); without one the system's certificate
// trust checks the chain and the relay's host name.
//
// Contract:
// - Owned through std::shared_ptr (`make`), by its owner and, while an outcome is still due,
//   by the owner's own `onOutcome` (clearing it at the final outcome or at `cancel` breaks
//   that hold). Network handlers hold the link weakly.
// - Everything runs on `queue`, the owner's queue: state changes, reads, the certificate
//   check and `onOutcome`. Set `onOutcome` before `start`, or on `queue`.
// - Exactly one of paired, failed or offline is reported, preceded by any number of waiting,
//   unless `cancel` came first: from the moment `cancel` returns nothing more is reported,
//   even for a reply that already arrived.
class RelayLink : public std::enable_shared_from_this<RelayLink> {
public:
    enum class Role { host, device };

    struct Outcome {
        enum class Kind { paired, failed, waiting, offline };

        Kind kind = Kind::failed;
        // paired: the relay connection, still open, now the receiver's.
        platform::net::ConnectionPtr connection;
        // paired: the bytes that followed the "PAIRED" line.
        platform::net::Bytes leftover;
        // failed: a sentence fit for display.
        std::string message;

        static Outcome paired(platform::net::ConnectionPtr connection,
                              platform::net::Bytes leftover);
        static Outcome failed(std::string message);
        static Outcome waiting() { return Outcome{Kind::waiting, nullptr, {}, {}}; }
        static Outcome offline() { return Outcome{Kind::offline, nullptr, {}, {}}; }
    };

    // Builds the (unstarted) connection to the relay; the network layer's by default.
    using ConnectionFactory = std::function<platform::net::ConnectionPtr(
        const platform::net::Endpoint&, const platform::net::Parameters&)>;

    // Most bytes asked for per read, and so the longest reply buffered without a line feed + 1.
    static constexpr size_t kReadSize = 512;
    // TCP: give up connecting after 8 s; keep-alive probes after 20 s of silence, every 10 s,
    // three of them, so a relay that vanished is noticed within a minute.
    static constexpr int kConnectTimeoutSeconds = 8;
    static constexpr int kKeepaliveIdleSeconds = 20;
    static constexpr int kKeepaliveIntervalSeconds = 10;
    static constexpr int kKeepaliveCount = 3;

    static constexpr const char* kCancelledMessage = "The relay connection closed.";
    static constexpr const char* kClosedMessage = "The relay closed the connection.";
    static constexpr const char* kBusyMessage = "Orvelo Connect is busy. Trying again shortly.";
    static constexpr const char* kUnexpectedMessage = "The relay sent an unexpected reply.";
    // The relay's certificate was refused: not the pinned one, or not trusted by the system.
    static constexpr const char* kPinMismatchMessage =
        "The relay presented a certificate other than the one pinned for it.";
    static constexpr const char* kUntrustedMessage =
        "The relay's certificate is not trusted by this computer.";

    static std::shared_ptr<RelayLink> make(
        const RelayEndpoint& endpoint, Role role, std::vector<std::string> keys,
        platform::QueuePtr queue, const ConnectionFactory& connect = platform::net::makeConnection);
    ~RelayLink();

    RelayLink(const RelayLink&) = delete;
    RelayLink& operator=(const RelayLink&) = delete;

    const Role role;
    const std::vector<std::string> keys;
    const platform::QueuePtr queue;

    std::function<void(Outcome)> onOutcome;

    // Starts connecting; the request line goes out once the connection is ready. Once.
    void start();
    // Abandons the link without an outcome and closes its connection. Any thread; idempotent.
    void cancel();

    // "HOST" or "DEVICE".
    static std::string_view roleText(Role role);
    // The request line, line feed included.
    static std::string requestLine(Role role, const std::vector<std::string>& keys);
    // What the link connects with: TLS (pinned or system trust), no-delay, keep-alive, time-out.
    static platform::net::Parameters parameters(const RelayEndpoint& endpoint);
    // Whether `chain` (leaf first) satisfies `pinnedHash`: the leaf's SHA-256 in hexadecimal,
    // compared in constant time, case-insensitively.
    static bool matchesPin(const std::vector<platform::net::CertificateDer>& chain,
                           const std::string& pinnedHash);

private:
    RelayLink(Role role, std::vector<std::string> keys, platform::QueuePtr queue,
              platform::net::ConnectionPtr connection, std::string refusedMessage,
              std::shared_ptr<std::atomic<bool>> certificateRefused);

    // Queue only, from here on.
    void stateChanged(const platform::net::State& state);
    void readMore();
    void received(const std::optional<platform::net::Bytes>& data, bool isComplete,
                  const std::optional<platform::net::NetError>& error);
    // Handles one reply line; false once the link has finished.
    bool handleLine(std::string_view line);
    void pair();
    void finish(Outcome outcome);
    void abandon();
    void report(Outcome outcome);

    platform::net::ConnectionPtr connection_;
    // Set by the certificate check when it says no, so that the failure it causes is told
    // as what it is rather than as the network layer's general sentence.
    const std::string refusedMessage_;
    const std::shared_ptr<std::atomic<bool>> certificateRefused_;
    platform::net::Bytes buffer_;
    bool finished_ = false;
    // Set by `cancel` on whatever thread calls it, before its work reaches the queue, so a
    // reply already queued is not reported after the owner gave the link up.
    std::atomic<bool> cancelled_{false};
};

}  // namespace caldrovex
