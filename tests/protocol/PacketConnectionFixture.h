#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ManualQueue.h"
#include "platform/net/MemoryConnection.h"
#include "protocol/PacketConnection.h"
#include "support/ControlledConnection.h"
#include "support/PacketPeer.h"

using namespace caldrovex;
using caldrovex::platform::ManualQueue;
using caldrovex::platform::net::MemoryConnection;
using caldrovex::platform::net::NetError;
using caldrovex::platform::net::State;
using caldrovex::platform::net::StateKind;
using caldrovex::test::ControlledConnection;
using caldrovex::test::PacketPeer;
using Bytes = std::vector<uint8_t>;
using Reason = std::optional<std::string>;

namespace caldrovex::test {

inline const std::string kPing = R"({"type":"ping","version":1})";

// A clipboard message whose JSON is exactly `size` bytes long.
inline ControlMessage messageOfJsonSize(size_t size) {
    ControlMessage message = ControlMessage::make("clipboard");
    message.text = "";
    size_t overhead = message.encode().size();
    message.text = std::string(size - overhead, 'a');
    return message;
}

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// How the fixture builds its connection.
struct Options {
    bool videoReceiver = false;  // sets onVideo (a device-side connection)
    bool controlled = false;     // wraps our end in a ControlledConnection
};

}  // namespace caldrovex::test

using caldrovex::test::bytesOf;
using caldrovex::test::kPing;
using caldrovex::test::messageOfJsonSize;
using caldrovex::test::Options;

// One PacketConnection on one end of an in-memory pair, the test's PacketPeer on the other,
// both on one virtual-time queue. Optionally the connection's end is wrapped so the test can
// hold writes, fail reads and report states.
class PacketConnectionTest : public ::testing::Test {
public:
    void create(Options options = {}) {
        auto [ours, theirs] = MemoryConnection::makePair();
        platform::net::ConnectionPtr end = ours;
        if (options.controlled) end = controlled = std::make_shared<ControlledConnection>(ours);
        connection = PacketConnection::make(end, queue, queue);
        connection->onControl = [this](ControlMessage m) { controls.push_back(std::move(m)); };
        connection->onClose = [this](Reason reason) { closes.push_back(std::move(reason)); };
        connection->onReady = [this] { ++readies; };
        if (options.videoReceiver)
            connection->onVideo = [this](Bytes body) { videos.push_back(std::move(body)); };
        peer = PacketPeer::make(theirs, queue);
    }

    void open(Options options = {}) {
        create(options);
        start();
    }

    void start() {
        connection->start();
        peer->start();
        run();
    }

    void run() { queue->runReady(); }

    // Feeds raw bytes from the peer and returns the close reason, if the connection closed.
    std::optional<Reason> closeAfter(Bytes raw) {
        peer->writeRaw(std::move(raw));
        run();
        if (closes.empty()) return std::nullopt;
        return closes.front();
    }

    void TearDown() override {
        // Let go of everything and let the queue run what that posts, so nothing is left
        // holding the queue.
        connection.reset();
        peer.reset();
        controlled.reset();
        queue->advance(10);
    }

    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>("caldrovex.transport");
    std::shared_ptr<ControlledConnection> controlled;
    std::shared_ptr<PacketConnection> connection;
    std::shared_ptr<PacketPeer> peer;
    std::vector<ControlMessage> controls;
    std::vector<Bytes> videos;
    std::vector<Reason> closes;
    int readies = 0;
};
