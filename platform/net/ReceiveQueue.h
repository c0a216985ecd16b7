#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "platform/net/Connection.h"

namespace caldrovex::platform::net {

// The receiving half of a connection: the receives waiting for bytes, in call order, and
// the bytes that arrived before anyone asked for them. Both the real connection engine and
// the in-memory pair answer their receives through it, so the two cannot drift apart in how
// `minimum`, `maximum` and the end of the stream are honoured.
//
// A receive is answered once the buffer holds `minimum` bytes, with up to `maximum` of them;
// once the input has ended it is answered with whatever is left (nothing at all, with
// `isComplete`, when the buffer is empty). A `maximum` of 0 counts as 1, and `minimum` is
// held between 1 and `maximum`.
//
// Not thread-safe: its owner keeps it on one strand or behind one mutex.
class ReceiveQueue {
public:
    using Deliver = std::function<void(Connection::ReceiveCompletion completion,
                                       std::optional<Bytes> data, bool isComplete)>;

    void add(size_t minimum, size_t maximum, Connection::ReceiveCompletion completion);

    // Bytes arrived from the peer.
    void append(const uint8_t* data, size_t count);
    // The peer ended its output: nothing more will be appended.
    void endInput() { inputEnded_ = true; }
    bool inputEnded() const { return inputEnded_; }
    size_t buffered() const { return inbound_.size(); }
    // The most the oldest waiting receive takes; 0 when none waits.
    size_t oldestMaximum() const { return waiting_.empty() ? 0 : waiting_.front().maximum; }

    // Answers waiting receives, oldest first, while the buffered bytes satisfy them, handing
    // each completion to `deliver`. Returns the bytes the oldest receive still waits for
    // (its minimum, counting what is buffered), or nullopt when none waits.
    std::optional<size_t> service(const Deliver& deliver);

    // Removes every waiting receive and returns its completion, oldest first, for failing.
    std::vector<Connection::ReceiveCompletion> takeWaiting();

private:
    struct Pending {
        size_t minimum;
        size_t maximum;
        Connection::ReceiveCompletion completion;
    };

    std::deque<Pending> waiting_;
    Bytes inbound_;
    bool inputEnded_ = false;
};

}  // namespace caldrovex::platform::net
