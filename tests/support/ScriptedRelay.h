#pragma once

// The relay's side of links that run over in-memory streams on virtual time: each link the
// code under test makes gets one end of a MemoryConnection pair, and the test plays the relay
// on the other end (reads the request line, writes replies, hangs up). Everything, both ends
// included, runs on one ManualQueue, so the test decides what arrives in which read.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ManualQueue.h"
#include "platform/net/MemoryConnection.h"
#include "reach/RelayLink.h"

namespace caldrovex::test {

using platform::net::Bytes;

inline Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// One stream as its far end sees it: everything received, and whether it ended.
struct FarEnd {
    std::shared_ptr<platform::net::MemoryConnection> connection;
    std::string received;
    bool ended = false;

    void send(const std::string& text) { connection->send(bytes(text), nullptr); }
    void hangUp() { connection->sendEndOfStream(nullptr); }
};

// Keeps reading from `end` into `received` until it ends. Held weakly: the test owns it.
inline void keepReading(const std::shared_ptr<FarEnd>& end) {
    end->connection->receive(
        1, 1 << 20,
        [weak = std::weak_ptr<FarEnd>(end)](std::optional<Bytes> data, bool isComplete,
                                            std::optional<platform::net::NetError> error) {
            auto end = weak.lock();
            if (!end) return;
            if (data) end->received.append(data->begin(), data->end());
            if (isComplete || error) {
                end->ended = true;
                return;
            }
            keepReading(end);
        });
}

// A pair whose near end goes to the code under test; the far end is started and read.
inline std::pair<platform::net::ConnectionPtr, std::shared_ptr<FarEnd>> makeStream(
    const platform::QueuePtr& queue) {
    auto [near, far] = platform::net::MemoryConnection::makePair();
    auto end = std::make_shared<FarEnd>();
    end->connection = far;
    far->start(queue);
    keepReading(end);
    return {near, end};
}

class ScriptedRelay {
public:
    explicit ScriptedRelay(std::shared_ptr<platform::ManualQueue> queue)
        : queue_(std::move(queue)) {}

    // Hands the code under test a fresh stream per link, keeping the relay's end.
    RelayLink::ConnectionFactory factory() {
        return [this](const platform::net::Endpoint&, const platform::net::Parameters&) {
            auto [near, far] = makeStream(queue_);
            links.push_back(far);
            return near;
        };
    }

    std::shared_ptr<RelayLink> makeLink(RelayLink::Role role, std::vector<std::string> keys) {
        return RelayLink::make(RelayEndpoint{"relay.test", 48700, std::nullopt}, role,
                               std::move(keys), queue_, factory());
    }

    // Links whose stream is still open, by index.
    std::vector<size_t> open() const {
        std::vector<size_t> indices;
        for (size_t i = 0; i < links.size(); ++i)
            if (!links[i]->ended) indices.push_back(i);
        return indices;
    }

    std::vector<std::shared_ptr<FarEnd>> links;

private:
    std::shared_ptr<platform::ManualQueue> queue_;
};

}  // namespace caldrovex::test
