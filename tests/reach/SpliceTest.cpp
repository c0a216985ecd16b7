// The splice: order of the first bytes, bounded chunks with one in flight per direction, the
// end of either side closing both once. In-memory streams on virtual time, and a real bridge
// connection that cannot be made.

#include <gtest/gtest.h>

#include <future>

#include "net/LoopbackHarness.h"
#include "reach/Splice.h"
#include "support/ScriptedRelay.h"

using namespace caldrovex;
using namespace caldrovex::test;

namespace {

// Passes everything through to `inner`, noting the size of every send and how many were in
// flight at most.
class CountingConnection final : public platform::net::Connection {
public:
    explicit CountingConnection(platform::net::ConnectionPtr inner) : inner_(std::move(inner)) {}

    std::vector<size_t> sends;
    int inFlight = 0;
    int mostInFlight = 0;

    void setStateHandler(StateHandler handler) override {
        inner_->setStateHandler(std::move(handler));
    }
    platform::net::State state() const override { return inner_->state(); }
    void start(platform::QueuePtr queue) override { inner_->start(std::move(queue)); }
    void send(Bytes content, SendCompletion completion) override {
        sends.push_back(content.size());
        mostInFlight = std::max(mostInFlight, ++inFlight);
        inner_->send(std::move(content), [this, completion](auto error) {
            --inFlight;
            if (completion) completion(error);
        });
    }
    void sendEndOfStream(SendCompletion completion) override {
        inner_->sendEndOfStream(std::move(completion));
    }
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override {
        inner_->receive(minimum, maximum, std::move(completion));
    }
    void cancel() override { inner_->cancel(); }
    std::optional<platform::net::Endpoint> remoteEndpoint() const override { return {}; }
    std::vector<platform::net::CertificateDer> peerCertificates() const override { return {}; }

private:
    platform::net::ConnectionPtr inner_;
};

class SpliceOnVirtualTime : public ::testing::Test {
protected:
    std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
    // `a`: the paired relay connection, ready; `device` plays the device at the relay's far end.
    platform::net::ConnectionPtr a;
    std::shared_ptr<FarEnd> device;
    // `b`: the bridge connection, not started yet; `bridge` plays the host's bridge listener.
    std::shared_ptr<CountingConnection> b;
    std::shared_ptr<FarEnd> bridge;
    int closes = 0;

    void SetUp() override {
        std::tie(a, device) = makeStream(queue);
        a->start(queue);
        platform::net::ConnectionPtr bInner;
        std::tie(bInner, bridge) = makeStream(queue);
        b = std::make_shared<CountingConnection>(bInner);
        queue->runReady();
    }

    std::shared_ptr<Splice> start(const std::string& leftover) {
        auto splice = Splice::make(a, b, queue);
        splice->onClose = [this] { ++closes; };
        splice->start(bytes(leftover));
        return splice;
    }
};

TEST_F(SpliceOnVirtualTime, LeftoverReachesTheBridgeBeforeAnythingReadFromTheRelay) {
    device->send("after");  // already waiting on `a` when the splice starts
    auto splice = start(std::string(100, 'L'));
    queue->runReady();
    EXPECT_EQ(bridge->received, std::string(100, 'L') + "after");
    EXPECT_EQ(b->sends, (std::vector<size_t>{100, 5}));

    bridge->send("host reply");
    queue->runReady();
    EXPECT_EQ(device->received, "host reply");
    EXPECT_EQ(splice->forwardedToB(), 105u);
    EXPECT_EQ(splice->forwardedToA(), 10u);
}

TEST_F(SpliceOnVirtualTime, WithoutLeftoverNoEmptySendIsMade) {
    auto splice = start("");
    queue->runReady();
    EXPECT_TRUE(b->sends.empty());
    device->send("x");
    queue->runReady();
    EXPECT_EQ(b->sends, (std::vector<size_t>{1}));
}

TEST_F(SpliceOnVirtualTime, ChunksAreBoundedWithOneInFlightPerDirection) {
    auto splice = start("");
    std::string big(200'000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    device->send(big);
    queue->runReady();
    EXPECT_EQ(bridge->received, big);
    EXPECT_EQ(b->mostInFlight, 1);
    for (size_t size : b->sends) EXPECT_LE(size, Splice::kChunk);
    EXPECT_GE(b->sends.size(), 4u);
}

TEST_F(SpliceOnVirtualTime, DeviceEndingItsSideDeliversTheLastChunkThenClosesBothOnce) {
    auto splice = start("");
    device->send("last words");
    device->hangUp();
    queue->runReady();
    EXPECT_EQ(bridge->received, "last words");
    EXPECT_TRUE(bridge->ended);
    EXPECT_TRUE(device->ended);
    EXPECT_EQ(closes, 1);
    splice->close();
    splice->close();
    queue->runReady();
    EXPECT_EQ(closes, 1);
}

TEST_F(SpliceOnVirtualTime, CloseTwiceReportsOnce) {
    auto splice = start("");
    splice->close();
    splice->close();
    queue->runReady();
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(device->ended);
    EXPECT_TRUE(bridge->ended);
}

TEST(SpliceBridge, ABridgeThatRefusesTakesTheRelaySideDown) {
    auto queue = SerialQueue::make("caldrovex.relay.agent");
    auto [relaySide, deviceSide] = platform::net::MemoryConnection::makePair();
    relaySide->start(queue);
    deviceSide->start(queue);
    TempDir folder;
    auto bridge = makeConnection(UnixPath{folder.file("no-bridge.sock")}, {});
    auto splice = Splice::make(relaySide, bridge, queue);
    std::promise<void> closed;
    splice->onClose = [&] { closed.set_value(); };
    queue->sync([&] { splice->start({}); });
    auto done = closed.get_future();
    await(done, "the splice to close");
    auto end = receiveFuture(deviceSide, 1, 1);
    EXPECT_TRUE(await(end, "the device side to end").isComplete);
}

}  // namespace
