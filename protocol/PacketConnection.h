#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "protocol/ControlMessage.h"
#include "protocol/VideoPacer.h"

namespace caldrovex {

// Wire value of a packet's kind byte.
enum class PacketKind : uint8_t { control = 1, video = 2 };

// One framed stream to a device: splits a (TLS) byte stream into control messages and video
// frames, each sent as a packet of a kind byte, a four-byte big-endian body length and the
// body. It bounds what a peer can make it do (packet sizes, 1,000 control packets per second,
// 128 control writes in flight), holds video back until the first key frame, answers or
// consumes frame acknowledgements, feeds its pacer, and reports its end exactly once.
//
// Contract:
// - Owned through std::shared_ptr (`make`). Every state change and every callback runs on
//   `queue`; the callback fields are plain fields, set them before `start()` or on `queue`.
// - `send`, `finish`, `cancel` and `sendVideo` may be called from any thread. Control messages
//   are encoded on the calling thread and written in call order.
// - Callbacks run without any lock held and may call back into this object. Work posted to
//   the queue holds the object only weakly; dropping the last owner ends the network
//   connection, except that a requested `finish` still delivers its message and closes the
//   stream within 0.5 s on its own.
// - `pacer` is shared with the video pipeline. Every frame handed to `sendVideo` carries one
//   unit of the pacer's credit, and the connection gives it back whatever happens to the
//   frame (sent and completed, dropped, refused, or the connection gone).
// - Time (the control rate window, the pacer's clock) comes from the injected clock.
class PacketConnection : public std::enable_shared_from_this<PacketConnection> {
public:
    using Bytes = std::vector<uint8_t>;

    // Largest packet body accepted.
    static constexpr size_t maxPacket = 8'388'608;

    static std::shared_ptr<PacketConnection> make(platform::net::ConnectionPtr connection,
                                                  platform::QueuePtr queue,
                                                  platform::ClockPtr clock);
    ~PacketConnection();

    PacketConnection(const PacketConnection&) = delete;
    PacketConnection& operator=(const PacketConnection&) = delete;

    const platform::net::ConnectionPtr connection;
    const platform::QueuePtr queue;
    // Congestion control of this connection's video, on the injected clock's monotonic time.
    const std::shared_ptr<VideoPacer> pacer;

    // Each received control message other than "ack".
    std::function<void(ControlMessage)> onControl;
    // Each received video body, key-frame flag byte included.
    std::function<void(Bytes)> onVideo;
    // The stream became ready.
    std::function<void()> onReady;
    // The connection ended: the reason, or nullopt for an orderly end. Called once.
    std::function<void(std::optional<std::string>)> onClose;
    // Answer each received video packet with an "ack" carrying the running count.
    bool acknowledgesVideo = false;

    // Installs the state handler and starts the network connection on `queue`. Once.
    void start();
    // Sends a control message. Dropped silently when it cannot be encoded, is too long, or
    // the connection is closed.
    void send(const ControlMessage& message);
    // Sends a last control message, then closes with no reason once it is written, or after
    // 0.5 s at the latest. A message that cannot be sent turns into a plain `cancel`.
    void finish(const ControlMessage& message);
    // Closes with no reason.
    void cancel();
    // Sends one encoded frame; the caller holds one unit of pacer credit for it.
    void sendVideo(Bytes frame, bool isKeyframe);

private:
    PacketConnection(platform::net::ConnectionPtr connection, platform::QueuePtr queue,
                     platform::ClockPtr clock);

    // Everything below runs on `queue`.
    void handleState(const platform::net::State& state);
    void writePacket(Bytes packet, std::function<void()> completion);
    void writeControl(Bytes packet);
    void writeFinal(Bytes packet);
    void transmitVideo(Bytes frame, bool isKeyframe);
    void readHeader();
    void handleHeader(const std::optional<Bytes>& data, bool isComplete,
                      const std::optional<platform::net::NetError>& error);
    void readBody(PacketKind kind, size_t length);
    void handleControlBody(const Bytes& body);
    void close(std::optional<std::string> reason);

    std::weak_ptr<PacketConnection> weak() { return weak_from_this(); }

    const platform::ClockPtr clock_;
    // Set by `finish` on the caller's thread, so the destructor leaves the closing to it.
    std::atomic<bool> finishRequested_{false};

    // Owned by `queue`.
    bool closed_ = false;
    int controlInFlight_ = 0;
    bool waitingForKeyframe_ = true;
    int64_t videoReceived_ = 0;
    int controlReceived_ = 0;
    double rateWindow_;
};

}  // namespace caldrovex
