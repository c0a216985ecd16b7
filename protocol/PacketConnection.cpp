#include "protocol/PacketConnection.h"

#include <cassert>

#include "platform/CaldrovexError.h"

namespace caldrovex {

using platform::net::NetError;
using platform::net::State;
using platform::net::StateKind;

namespace {

// Kind byte plus the four-byte big-endian body length.
constexpr size_t kHeaderSize = 5;
// Control bodies are small JSON objects; 64 KiB leaves room for long clipboard texts while
// bounding what one packet can make the host parse. A sender stays strictly below it.
constexpr size_t kMaxControlBody = 65'536;
// The largest frame that still fits a video body with its flag byte, with a byte of margin.
constexpr size_t kMaxOutgoingFrame = 8'388'606;
// A peer may send this many control packets per window, far above any real client's rate
// (input events at display refresh), low enough that parsing them costs little.
constexpr int kControlRateLimit = 1'000;
constexpr double kRateWindowSeconds = 1.0;
// Control writes the network has not reported written yet; a peer that stops reading while
// provoking replies would otherwise make the host buffer without end.
constexpr int kControlInFlightLimit = 128;
// How long a last message may take to go out before the stream is closed anyway.
constexpr double kFinishGraceSeconds = 0.5;

const char* const kInvalidHeader = "Invalid packet header.";
const char* const kInvalidSize = "Invalid packet size.";
const char* const kRateExceeded = "Control message rate exceeded its limit.";
const char* const kUnsupported = "Unsupported protocol message.";
const char* const kQueueExceeded = "Control queue exceeded its limit.";
const char* const kFrameTooLarge = "A video frame exceeded the packet limit.";
// A failed state always carries the network's error; this covers one that does not, so a
// failure is never reported as an orderly end.
const char* const kConnectionFailed = "The network connection failed.";

// A packet buffer with its header written and room reserved for the body that follows.
PacketConnection::Bytes packetWithHeader(PacketKind kind, size_t bodyLength) {
    PacketConnection::Bytes packet;
    packet.reserve(kHeaderSize + bodyLength);
    packet.push_back(static_cast<uint8_t>(kind));
    for (int shift = 24; shift >= 0; shift -= 8)
        packet.push_back(static_cast<uint8_t>((bodyLength >> shift) & 0xff));
    return packet;
}

PacketConnection::Bytes controlPacket(const std::string& json) {
    auto packet = packetWithHeader(PacketKind::control, json.size());
    packet.insert(packet.end(), json.begin(), json.end());
    return packet;
}

// The JSON of `message` when it can go out as a control packet.
std::optional<std::string> encodeForSending(const ControlMessage& message) {
    try {
        std::string json = message.encode();
        if (json.size() >= kMaxControlBody) return std::nullopt;
        return json;
    } catch (const CaldrovexError&) {
        return std::nullopt;
    }
}

}  // namespace

std::shared_ptr<PacketConnection> PacketConnection::make(platform::net::ConnectionPtr connection,
                                                         platform::QueuePtr queue,
                                                         platform::ClockPtr clock) {
    return std::shared_ptr<PacketConnection>(
        new PacketConnection(std::move(connection), std::move(queue), std::move(clock)));
}

PacketConnection::PacketConnection(platform::net::ConnectionPtr connection,
                                   platform::QueuePtr queue, platform::ClockPtr clock)
    : connection(std::move(connection)),
      queue(std::move(queue)),
      pacer(std::make_shared<VideoPacer>([clock] { return clock->monotonic(); })),
      clock_(std::move(clock)),
      rateWindow_(clock_->monotonic()) {}

PacketConnection::~PacketConnection() {
    // Posted work only holds this object weakly, so an owner that lets go without closing
    // would otherwise leave the stream open with nobody reading it.
    if (!closed_ && !finishRequested_) {
        connection->setStateHandler({});
        connection->cancel();
    }
}

void PacketConnection::start() {
    connection->setStateHandler([weak = weak()](const State& state) {
        if (auto self = weak.lock()) self->handleState(state);
    });
    connection->start(queue);
}

void PacketConnection::send(const ControlMessage& message) {
    auto json = encodeForSending(message);
    if (!json) return;
    queue->post([weak = weak(), packet = controlPacket(*json)]() mutable {
        if (auto self = weak.lock()) self->writeControl(std::move(packet));
    });
}

void PacketConnection::finish(const ControlMessage& message) {
    auto json = encodeForSending(message);
    if (!json) return cancel();
    finishRequested_ = true;
    queue->post([weak = weak(), connection = connection, queue = queue,
                 packet = controlPacket(*json)]() mutable {
        if (auto self = weak.lock()) return self->writeFinal(std::move(packet));
        // The owner let go before the queue got here: deliver and close on the stream alone.
        connection->send(std::move(packet), [connection](auto) { connection->cancel(); });
        queue->postAfter(kFinishGraceSeconds, [weakConnection = std::weak_ptr(connection)] {
            if (auto stream = weakConnection.lock()) stream->cancel();
        });
    });
}

void PacketConnection::cancel() {
    queue->post([weak = weak()] {
        if (auto self = weak.lock()) self->close(std::nullopt);
    });
}

void PacketConnection::sendVideo(Bytes frame, bool isKeyframe) {
    queue->post([weak = weak(), pacer = pacer, frame = std::move(frame), isKeyframe]() mutable {
        if (auto self = weak.lock()) return self->transmitVideo(std::move(frame), isKeyframe);
        pacer->releaseReservation();
    });
}

void PacketConnection::handleState(const State& state) {
    assert(queue->isCurrent());
    switch (state.kind) {
        case StateKind::ready: {
            if (auto ready = onReady) ready();
            if (!closed_) readHeader();
            break;
        }
        case StateKind::waiting:
        case StateKind::failed:
            close(state.error ? state.error->description : kConnectionFailed);
            break;
        case StateKind::cancelled:
            close(std::nullopt);
            break;
        case StateKind::setup:
        case StateKind::preparing:
            break;
    }
}

void PacketConnection::writePacket(Bytes packet, std::function<void()> completion) {
    assert(queue->isCurrent());
    if (closed_) return completion();
    connection->send(std::move(packet), [weak = weak(), completion = std::move(completion)](
                                            std::optional<NetError> error) {
        completion();
        auto self = weak.lock();
        if (self && error) self->close(error->description);
    });
}

void PacketConnection::writeControl(Bytes packet) {
    assert(queue->isCurrent());
    if (closed_) return;
    if (controlInFlight_ >= kControlInFlightLimit) return close(kQueueExceeded);
    ++controlInFlight_;
    writePacket(std::move(packet), [weak = weak()] {
        if (auto self = weak.lock()) --self->controlInFlight_;
    });
}

void PacketConnection::writeFinal(Bytes packet) {
    assert(queue->isCurrent());
    if (closed_) return;
    // Both the write's completion and the grace timer close; whichever comes first wins. The
    // write's completion holds the stream, so it is closed even if this object is gone by then;
    // the timer holds it only weakly (the pending write keeps it alive), because a queue that
    // is never run again must not keep the stream, and through it the queue, alive for good.
    auto closeNow = [weak = weak(), connection = connection] {
        if (auto self = weak.lock()) return self->close(std::nullopt);
        connection->cancel();
    };
    writePacket(std::move(packet), closeNow);
    queue->postAfter(kFinishGraceSeconds,
                     [weak = weak(), weakConnection = std::weak_ptr(connection)] {
                         if (auto self = weak.lock()) return self->close(std::nullopt);
                         if (auto stream = weakConnection.lock()) stream->cancel();
                     });
}

void PacketConnection::transmitVideo(Bytes frame, bool isKeyframe) {
    assert(queue->isCurrent());
    if (closed_ || (waitingForKeyframe_ && !isKeyframe)) return pacer->releaseReservation();
    if (frame.size() > kMaxOutgoingFrame) {
        pacer->releaseReservation();
        return close(kFrameTooLarge);
    }
    if (isKeyframe) waitingForKeyframe_ = false;
    size_t bodyLength = 1 + frame.size();
    auto packet = packetWithHeader(PacketKind::video, bodyLength);
    packet.push_back(isKeyframe ? 1 : 0);
    packet.insert(packet.end(), frame.begin(), frame.end());
    pacer->didSend(static_cast<int64_t>(bodyLength), isKeyframe);
    writePacket(std::move(packet), [pacer = pacer] { pacer->didComplete(); });
}

void PacketConnection::readHeader() {
    connection->receive(
        kHeaderSize, kHeaderSize,
        [weak = weak()](std::optional<Bytes> data, bool isComplete, std::optional<NetError> error) {
            if (auto self = weak.lock()) self->handleHeader(data, isComplete, error);
        });
}

void PacketConnection::handleHeader(const std::optional<Bytes>& data, bool isComplete,
                                    const std::optional<NetError>& error) {
    assert(queue->isCurrent());
    if (closed_) return;
    bool whole = data && data->size() == kHeaderSize;
    if (!whole) {
        // A stream that ends inside a header ended; one that merely came up short is broken.
        if (error) return close(error->description);
        return close(isComplete ? std::nullopt : std::optional<std::string>(kInvalidHeader));
    }
    const Bytes& header = *data;
    if (header[0] != static_cast<uint8_t>(PacketKind::control) &&
        header[0] != static_cast<uint8_t>(PacketKind::video))
        return close(kInvalidHeader);
    auto kind = static_cast<PacketKind>(header[0]);
    size_t length = (size_t{header[1]} << 24) | (size_t{header[2]} << 16) |
                    (size_t{header[3]} << 8) | size_t{header[4]};
    bool acceptable =
        length >= 1 && length <= maxPacket &&
        (kind == PacketKind::video ? static_cast<bool>(onVideo) : length <= kMaxControlBody);
    if (!acceptable) return close(kInvalidSize);
    readBody(kind, length);
}

void PacketConnection::readBody(PacketKind kind, size_t length) {
    auto completion = [weak = weak(), kind, length](std::optional<Bytes> data, bool isComplete,
                                                    std::optional<NetError> error) {
        auto self = weak.lock();
        if (!self || self->closed_) return;
        if (!data || data->size() != length)
            return self->close(error ? std::optional(error->description) : std::nullopt);
        if (kind == PacketKind::video) {
            if (self->acknowledgesVideo) {
                ControlMessage ack = ControlMessage::make("ack");
                ack.frames = ++self->videoReceived_;
                self->writeControl(controlPacket(ack.encode()));
            }
            if (auto handler = self->onVideo) handler(std::move(*data));
        } else {
            self->handleControlBody(*data);
        }
        if (self->closed_) return;
        if (isComplete) return self->close(std::nullopt);
        self->readHeader();
    };
    connection->receive(length, length, std::move(completion));
}

void PacketConnection::handleControlBody(const Bytes& body) {
    assert(queue->isCurrent());
    double now = clock_->monotonic();
    if (now - rateWindow_ >= kRateWindowSeconds) {
        rateWindow_ = now;
        controlReceived_ = 0;
    }
    if (++controlReceived_ > kControlRateLimit) return close(kRateExceeded);

    auto message = ControlMessage::decode(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    if (!message || message->version != ControlMessage::kProtocolVersion)
        return close(kUnsupported);
    if (message->type == "ack") {
        // Acknowledgements are this connection's own business and go no further.
        if (message->frames) pacer->acknowledge(*message->frames);
        return;
    }
    if (auto handler = onControl) handler(std::move(*message));
}

void PacketConnection::close(std::optional<std::string> reason) {
    assert(queue->isCurrent());
    if (closed_) return;
    closed_ = true;
    connection->setStateHandler({});
    connection->cancel();
    auto closeHandler = std::move(onClose);
    onClose = nullptr;
    if (closeHandler) closeHandler(std::move(reason));
    onControl = nullptr;
    onVideo = nullptr;
    onReady = nullptr;
    // The pipeline's callbacks hold its queue's work; a closed connection pumps nothing more.
    pacer->setCreditCallback({});
    pacer->setBitrateCallback({});
}

}  // namespace caldrovex
