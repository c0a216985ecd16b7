#include "support/PacketPeer.h"

namespace caldrovex::test {

using platform::net::NetError;

std::shared_ptr<PacketPeer> PacketPeer::make(platform::net::ConnectionPtr connection,
                                             platform::QueuePtr queue) {
    return std::shared_ptr<PacketPeer>(new PacketPeer(std::move(connection), std::move(queue)));
}

PacketPeer::PacketPeer(platform::net::ConnectionPtr connection, platform::QueuePtr queue)
    : connection(std::move(connection)), queue_(std::move(queue)) {}

void PacketPeer::start() {
    connection->start(queue_);
    readHeader();
}

PacketPeer::Bytes PacketPeer::header(uint8_t kind, uint32_t length) {
    return {kind, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

void PacketPeer::writeRaw(Bytes bytes) {
    connection->send(std::move(bytes), [](std::optional<NetError>) {});
}

void PacketPeer::writePacket(uint8_t kind, const Bytes& body) {
    Bytes packet = header(kind, static_cast<uint32_t>(body.size()));
    packet.insert(packet.end(), body.begin(), body.end());
    writeRaw(std::move(packet));
}

void PacketPeer::writeControl(std::string_view json) {
    writePacket(1, Bytes(json.begin(), json.end()));
}

void PacketPeer::writeVideo(bool isKeyframe, const Bytes& frame) {
    Bytes body{static_cast<uint8_t>(isKeyframe ? 1 : 0)};
    body.insert(body.end(), frame.begin(), frame.end());
    writePacket(2, body);
}

void PacketPeer::endStream() {
    connection->sendEndOfStream([](std::optional<NetError>) {});
}

void PacketPeer::cancel() {
    connection->cancel();
}

std::vector<ControlMessage> PacketPeer::controlMessages() const {
    std::vector<ControlMessage> messages;
    for (const auto& packet : packets) {
        if (packet.kind != 1) continue;
        auto message = ControlMessage::decode(std::string_view(
            reinterpret_cast<const char*>(packet.body.data()), packet.body.size()));
        if (message) messages.push_back(*message);
    }
    return messages;
}

std::vector<PacketPeer::Bytes> PacketPeer::videoBodies() const {
    std::vector<Bytes> bodies;
    for (const auto& packet : packets)
        if (packet.kind == 2) bodies.push_back(packet.body);
    return bodies;
}

void PacketPeer::readHeader() {
    connection->receive(
        5, 5,
        [weak = weak_from_this()](std::optional<Bytes> data, bool, std::optional<NetError> error) {
            auto self = weak.lock();
            if (!self) return;
            if (!data || data->size() != 5) return self->finish(error);
            uint8_t kind = (*data)[0];
            size_t length = (size_t{(*data)[1]} << 24) | (size_t{(*data)[2]} << 16) |
                            (size_t{(*data)[3]} << 8) | size_t{(*data)[4]};
            if (length == 0) {
                self->packets.push_back({kind, {}});
                return self->readHeader();
            }
            self->connection->receive(length, length,
                                      [weak, kind, length](std::optional<Bytes> body, bool,
                                                           std::optional<NetError> error) {
                                          auto self = weak.lock();
                                          if (!self) return;
                                          if (!body || body->size() != length)
                                              return self->finish(error);
                                          self->packets.push_back({kind, std::move(*body)});
                                          self->readHeader();
                                      });
        });
}

void PacketPeer::finish(std::optional<NetError> error) {
    ended = true;
    if (error) endError = error->description;
}

}  // namespace caldrovex::test
