#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Queue.h"
#include "platform/net/Connection.h"

namespace caldrovex {

// Joins two byte streams into one pipe: whatever arrives on one is written to the other, in
// both directions, until either ends; then both are closed. The relay agent joins a relay
// connection the relay paired with a device (`a`) to a fresh connection into the host's
// bridge (`b`); the relay service joins a device's link to a host's. The device's TLS session
// runs end to end through it: the splice never looks at the bytes.
//
// Each direction keeps one chunk of at most kChunk bytes in flight: the next read waits until
// the other side took the previous chunk, so a slow reader slows the writer and memory stays
// bounded. Bytes that must reach `b` first (what followed the relay's "PAIRED" line) go out
// before anything read from `a`. There is no half-closed state: the end of either direction,
// any read or send error, or the failure of a connection that was not ready at start closes
// both sides, after the last chunk of that direction was handed over.
//
// Contract:
// - Owned through std::shared_ptr (`make`), by its owner and by nothing else: completions
//   hold it weakly, so a splice its owner dropped stops at its next completion (and dropping
//   the connections closes them).
// - Both connections run on `queue` (connections not yet started are started there); every
//   completion and `close` run there. Set `onClose` before `start`.
// - `onClose` runs once, on `queue`, when the splice closes; it may drop the splice.
class Splice : public std::enable_shared_from_this<Splice> {
public:
    // Largest chunk read at once, and so the most each direction holds in flight.
    static constexpr size_t kChunk = 65536;

    static std::shared_ptr<Splice> make(platform::net::ConnectionPtr a,
                                        platform::net::ConnectionPtr b, platform::QueuePtr queue);

    Splice(const Splice&) = delete;
    Splice& operator=(const Splice&) = delete;

    const platform::net::ConnectionPtr a;
    const platform::net::ConnectionPtr b;
    const platform::QueuePtr queue;

    std::function<void()> onClose;

    // Starts both directions, after `pendingForB` (may be empty) was taken by `b`. Once.
    void start(platform::net::Bytes pendingForB);
    // Cancels both connections and reports `onClose`, on `queue`. Any thread, any number of
    // times.
    void close();

    // Bytes handed over so far in each direction. Queue only.
    uint64_t forwardedToB() const { return forwarded_[0]; }
    uint64_t forwardedToA() const { return forwarded_[1]; }

private:
    Splice(platform::net::ConnectionPtr a, platform::net::ConnectionPtr b,
           platform::QueuePtr queue);

    void closeOnFailure(const platform::net::ConnectionPtr& connection);
    // Direction 0 reads `a` and writes `b`; direction 1 the other way.
    void pump(int direction);
    void closeNow();

    bool closed_ = false;
    uint64_t forwarded_[2] = {0, 0};
};

}  // namespace caldrovex
