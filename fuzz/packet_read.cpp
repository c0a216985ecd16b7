// The packet connection's read path with any bytes from the peer, arriving in pieces: the
// framing, the size and rate limits, control decoding, acknowledgements and the close.
//
// Input: one byte of settings, then the bytes the peer sends.
//  - bit 0: the device's side (it takes video and acknowledges it) instead of the host's;
//  - bit 1: the peer ends its stream after the bytes;
//  - bits 2-7: seed of the piece sizes (1 to 64 bytes, or all that is left when the seed is 0).
// The connection must end at most once, with no reason or one of its own sentences, and every
// control message it passes on must be one that encodes again.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>

#include "platform/ManualQueue.h"
#include "platform/net/MemoryConnection.h"
#include "protocol/PacketConnection.h"

using namespace caldrovex;

namespace {

const std::set<std::string>& closeReasons() {
    static const std::set<std::string> reasons = {
        "Invalid packet header.",
        "Invalid packet size.",
        "Control message rate exceeded its limit.",
        "Unsupported protocol message.",
        "Control queue exceeded its limit.",
    };
    return reasons;
}

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t settings = data[0];
    const bool deviceSide = settings & 1;
    const bool endStream = settings & 2;
    uint32_t seed = settings >> 2;
    ++data;
    --size;

    auto queue = std::make_shared<platform::ManualQueue>("fuzz");
    auto [ours, theirs] = platform::net::MemoryConnection::makePair();
    auto connection = PacketConnection::make(ours, queue, queue);
    int closes = 0;
    connection->onControl = [](ControlMessage message) {
        require(message.type != "ack");
        require(ControlMessage::decode(message.encode()).has_value());
    };
    connection->onClose = [&closes](std::optional<std::string> reason) {
        ++closes;
        require(!reason || closeReasons().count(*reason) != 0);
    };
    if (deviceSide) {
        connection->acknowledgesVideo = true;
        connection->onVideo = [](std::vector<uint8_t> body) { require(!body.empty()); };
    }
    connection->start();
    theirs->start(queue);
    queue->runReady();

    size_t offset = 0;
    while (offset < size) {
        size_t piece = size - offset;
        if (seed != 0) {
            seed = seed * 1103515245u + 12345u;
            piece = std::min<size_t>(piece, 1 + (seed >> 16) % 64);
        }
        theirs->send(platform::net::Bytes(data + offset, data + offset + piece), {});
        offset += piece;
        queue->runReady();
    }
    if (endStream) theirs->sendEndOfStream({});
    queue->runReady();
    connection->cancel();
    queue->advance(1);  // the finish grace and anything else delayed
    require(closes == 1);
    return 0;
}
