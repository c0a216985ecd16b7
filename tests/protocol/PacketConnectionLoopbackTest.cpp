// PacketConnection over the real network layer: TLS on 127.0.0.1 and on a unix path, a host
// side and a device side, each a PacketConnection on its own serial queue. Waits are on real
// I/O and bounded; a wait that runs out fails the test instead of hanging it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/SerialQueue.h"
#include "platform/net/Connection.h"
#include "protocol/PacketConnection.h"
#include "support/TestCertificate.h"

using namespace caldrovex;
using namespace caldrovex::platform;
using namespace caldrovex::platform::net;
using Reason = std::optional<std::string>;

namespace {

// Long enough for a loaded sanitizer build; never reached when things work.
constexpr auto kWait = std::chrono::seconds(20);

// What one PacketConnection reported, written on its queue and read by the test thread.
class Recorder {
public:
    void attach(PacketConnection& connection, bool receivesVideo) {
        connection.onReady = [this] { update([&] { ready = true; }); };
        connection.onControl = [this](ControlMessage m) {
            update([&] { controls.push_back(std::move(m)); });
        };
        connection.onClose = [this](Reason reason) { update([&] { closed = reason; }); };
        if (receivesVideo) {
            connection.onVideo = [this](std::vector<uint8_t> body) {
                update([&] { videos.push_back(std::move(body)); });
            };
        }
        connection.pacer->setCreditCallback([this] { update([] {}); });
    }

    // Waits until `condition` (read under the lock) holds; false when it never does.
    bool waitUntil(const std::function<bool()>& condition) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, condition);
    }

    // Runs `inspect` under the lock, for reading the fields below.
    void withLock(const std::function<void()>& inspect) {
        std::lock_guard lock(mutex_);
        inspect();
    }

    // Guarded by the recorder's lock: read them inside `waitUntil` or `withLock`.
    bool ready = false;
    std::vector<ControlMessage> controls;
    std::vector<std::vector<uint8_t>> videos;
    std::optional<Reason> closed;

private:
    void update(const std::function<void()>& change) {
        std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
};

struct Transport {
    const char* name;
    bool unixPath;
};

class PacketConnectionLoopback : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/caldrovex-packet-XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        directory = pattern;
        Endpoint where = GetParam().unixPath ? Endpoint(UnixPath{directory + "/host.sock"})
                                             : Endpoint(HostPort{"127.0.0.1", 0});
        listen(where);
        connect();
    }

    void TearDown() override {
        if (host) host->cancel();
        if (device) device->cancel();
        if (listener) listener->cancel();
        // Both closes must have been delivered before the recorders go away.
        EXPECT_TRUE(hostEvents.waitUntil([&] { return hostEvents.closed.has_value(); }));
        EXPECT_TRUE(deviceEvents.waitUntil([&] { return deviceEvents.closed.has_value(); }));
        host.reset();
        device.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    void listen(const Endpoint& where) {
        Parameters parameters;
        parameters.tls = TlsOptions{test::TestCertificate::shared().identity(), {}, {}};
        parameters.requiredLocalEndpoint = where;
        listener = makeListener(parameters);
        listener->setStateHandler([acceptor = acceptor](const State& state) {
            std::lock_guard lock(acceptor->mutex);
            acceptor->state = state.kind;
            acceptor->changed.notify_all();
        });
        listener->setNewConnectionHandler([acceptor = acceptor](ConnectionPtr connection) {
            std::lock_guard lock(acceptor->mutex);
            if (!acceptor->connection) acceptor->connection = std::move(connection);
            acceptor->changed.notify_all();
        });
        listener->start(SerialQueue::make("caldrovex.listener.test"));
        std::unique_lock lock(acceptor->mutex);
        ASSERT_TRUE(acceptor->changed.wait_for(
            lock, kWait, [&] { return acceptor->state == StateKind::ready; }));
    }

    void connect() {
        Parameters parameters;
        parameters.tls = TlsOptions{};  // the device pins the certificate itself; not tested here
        auto clock = SystemClock::shared();
        device = PacketConnection::make(makeConnection(*listener->localEndpoint(), parameters),
                                        SerialQueue::make("caldrovex.transport"), clock);
        deviceEvents.attach(*device, true);
        device->acknowledgesVideo = true;
        device->start();
        ConnectionPtr server;
        {
            std::unique_lock lock(acceptor->mutex);
            ASSERT_TRUE(acceptor->changed.wait_for(
                lock, kWait, [&] { return acceptor->connection != nullptr; }));
            server = acceptor->connection;
        }
        host = PacketConnection::make(server, SerialQueue::make("caldrovex.transport"), clock);
        hostEvents.attach(*host, false);
        host->start();
        ASSERT_TRUE(deviceEvents.waitUntil([&] { return deviceEvents.ready; }));
    }

    std::string directory;
    ListenerPtr listener;
    // What the listener reports, on its own queue; shared so late reports find it alive.
    struct Acceptor {
        std::mutex mutex;
        std::condition_variable changed;
        StateKind state = StateKind::setup;
        ConnectionPtr connection;
    };
    std::shared_ptr<Acceptor> acceptor = std::make_shared<Acceptor>();
    Recorder hostEvents, deviceEvents;
    std::shared_ptr<PacketConnection> host, device;
};

TEST_P(PacketConnectionLoopback, ControlMessagesCrossInBothDirections) {
    device->send(ControlMessage::make("ping"));
    ASSERT_TRUE(hostEvents.waitUntil([&] { return !hostEvents.controls.empty(); }));
    ControlMessage pong = ControlMessage::make("pong");
    pong.bitrate = 6'000'000;
    pong.fps = 30;
    host->send(pong);
    ASSERT_TRUE(deviceEvents.waitUntil([&] { return !deviceEvents.controls.empty(); }));
    EXPECT_TRUE(hostEvents.waitUntil(
        [&] { return hostEvents.controls[0] == ControlMessage::make("ping"); }));
    EXPECT_TRUE(deviceEvents.waitUntil([&] { return deviceEvents.controls[0] == pong; }));
}

TEST_P(PacketConnectionLoopback, VideoIsFramedAndAcknowledged) {
    host->pacer->configure(true, 30, 6'000'000);
    // Frames of growing size, the last one spanning many TLS records.
    const std::vector<size_t> sizes = {1, 100, 16'385, 1'000'000, 4'000'000};
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::vector<uint8_t> frame(sizes[i], static_cast<uint8_t>(i + 1));
        ASSERT_TRUE(hostEvents.waitUntil([&] { return host->pacer->tryReserve(); }));
        host->sendVideo(std::move(frame), i == 0);
    }
    ASSERT_TRUE(deviceEvents.waitUntil([&] { return deviceEvents.videos.size() == sizes.size(); }));
    ASSERT_TRUE(hostEvents.waitUntil(
        [&] { return host->pacer->debugState().acknowledgedTotal == int64_t(sizes.size()); }));
    deviceEvents.withLock([&] {
        for (size_t i = 0; i < sizes.size(); ++i) {
            const auto& body = deviceEvents.videos[i];
            EXPECT_EQ(body.size(), sizes[i] + 1);
            EXPECT_EQ(body[0], i == 0 ? 1 : 0);  // key-frame flag
            EXPECT_EQ(body.back(), static_cast<uint8_t>(i + 1));
        }
    });
    EXPECT_EQ(host->pacer->debugState().reserved, 0);
    // Acknowledgements stay inside the connection.
    hostEvents.withLock([&] { EXPECT_TRUE(hostEvents.controls.empty()); });
}

TEST_P(PacketConnectionLoopback, FinishDeliversTheLastMessageThenEnds) {
    ControlMessage busy = ControlMessage::make("busy");
    busy.deviceName = "Phone";
    busy.message = "Another device is connected.";
    host->finish(busy);
    ASSERT_TRUE(deviceEvents.waitUntil([&] { return deviceEvents.closed.has_value(); }));
    ASSERT_TRUE(hostEvents.waitUntil([&] { return hostEvents.closed.has_value(); }));
    deviceEvents.withLock([&] {
        EXPECT_EQ(deviceEvents.controls, std::vector<ControlMessage>{busy});
        EXPECT_EQ(*deviceEvents.closed, std::nullopt);
    });
    hostEvents.withLock([&] { EXPECT_EQ(*hostEvents.closed, std::nullopt); });
}

TEST_P(PacketConnectionLoopback, InvalidBytesFromThePeerCloseWithTheirReason) {
    // A device-side video packet to the host, which has no video handler.
    device->pacer->configure(false, 30, 1'000'000);
    ASSERT_TRUE(device->pacer->tryReserve());
    device->sendVideo({1, 2, 3}, true);
    ASSERT_TRUE(hostEvents.waitUntil([&] { return hostEvents.closed.has_value(); }));
    hostEvents.withLock([&] { EXPECT_EQ(*hostEvents.closed, Reason("Invalid packet size.")); });
    ASSERT_TRUE(deviceEvents.waitUntil([&] { return deviceEvents.closed.has_value(); }));
}

INSTANTIATE_TEST_SUITE_P(Transports, PacketConnectionLoopback,
                         ::testing::Values(Transport{"tcp", false}, Transport{"unix", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
