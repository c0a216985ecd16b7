#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "protocol/ControlMessage.h"

namespace caldrovex::test {

// The far end of a packet stream, played by the test: writes raw bytes or well-formed
// packets, and reads everything that arrives into `packets` until the stream ends. Its
// fields belong to the queue the connection was started on.
class PacketPeer : public std::enable_shared_from_this<PacketPeer> {
public:
    using Bytes = std::vector<uint8_t>;

    struct Packet {
        uint8_t kind;
        Bytes body;
    };

    static std::shared_ptr<PacketPeer> make(platform::net::ConnectionPtr connection,
                                            platform::QueuePtr queue);

    // Starts the connection and keeps reading packets.
    void start();

    void writeRaw(Bytes bytes);
    void writePacket(uint8_t kind, const Bytes& body);
    void writeControl(std::string_view json);
    void writeVideo(bool isKeyframe, const Bytes& frame);
    // Ends this side of the stream after what was written.
    void endStream();
    void cancel();

    // The control messages received so far, decoded.
    std::vector<ControlMessage> controlMessages() const;
    // The video bodies received so far (flag byte first).
    std::vector<Bytes> videoBodies() const;

    static Bytes header(uint8_t kind, uint32_t length);

    std::vector<Packet> packets;
    bool ended = false;  // the stream ended or failed
    std::optional<std::string> endError;

    const platform::net::ConnectionPtr connection;

private:
    PacketPeer(platform::net::ConnectionPtr connection, platform::QueuePtr queue);
    void readHeader();
    void finish(std::optional<platform::net::NetError> error);

    platform::QueuePtr queue_;
};

}  // namespace caldrovex::test
