#pragma once

#include <memory>

#include "protocol/PacketConnection.h"
#include "video/VideoSink.h"

namespace caldrovex {

// The video sink of a device connection: frames and "videoConfig" go out on it, credit comes
// from its pacer. Holds the connection strongly while the pipeline holds the sink. Thread-safe
// as PacketConnection's send operations are.
class PacketConnectionSink final : public VideoSink {
public:
    explicit PacketConnectionSink(std::shared_ptr<PacketConnection> connection);

    static VideoSinkPtr make(std::shared_ptr<PacketConnection> connection) {
        return std::make_shared<PacketConnectionSink>(std::move(connection));
    }

    std::shared_ptr<VideoPacer> pacer() const override { return connection->pacer; }
    void sendControl(const ControlMessage& message) override { connection->send(message); }
    void sendVideo(std::vector<uint8_t> frame, bool isKeyframe) override {
        connection->sendVideo(std::move(frame), isKeyframe);
    }

    const std::shared_ptr<PacketConnection> connection;
};

}  // namespace caldrovex
