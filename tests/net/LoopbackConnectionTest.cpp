// The real network layer end to end: a listener and a client on the same machine, over TCP on
// 127.0.0.1 and over a unix path, each with and without TLS.

#include <gtest/gtest.h>

#include <thread>

#include "net/LoopbackHarness.h"
#include "platform/ManualQueue.h"

using namespace caldrovex::test;

namespace {

struct Transport {
    const char* name;
    bool tls;
    bool unixPath;
};

void PrintTo(const Transport& transport, std::ostream* out) {
    *out << transport.name;
}

class LoopbackConnection : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        Endpoint where = GetParam().unixPath ? Endpoint(UnixPath{dir.file("listener.sock")})
                                             : Endpoint(HostPort{"127.0.0.1", 0});
        Parameters parameters;
        if (GetParam().tls) parameters = tlsServerParameters(where);
        parameters.requiredLocalEndpoint = where;
        parameters.tcp.noDelay = true;
        listener = std::make_unique<TestListener>(parameters);
        listener->states->waitFor(StateKind::ready);
    }

    void TearDown() override {
        if (client) client->cancel();
        if (server) server->cancel();
    }

    Parameters clientParameters() {
        Parameters parameters;
        if (GetParam().tls) {
            parameters.tls = TlsOptions{};
            parameters.tls->verify =
                [chains = verifiedChains](const std::vector<CertificateDer>& chain) {
                    chains->push_back(chain);
                    return true;
                };
        }
        parameters.tcp.noDelay = true;
        return parameters;
    }

    // Dials the listener, sends `early` before the client is even started, and returns once
    // both ends report ready.
    void connect(const std::vector<Bytes>& early = {}) {
        client = makeConnection(*listener->listener->localEndpoint(), clientParameters());
        client->setStateHandler(clientStates->handler());
        for (const auto& bytes : early)
            client->send(bytes, [](std::optional<NetError> e) { EXPECT_FALSE(e); });
        client->start(clientQueue);
        server = listener->connection(0);
        EXPECT_EQ(server->state().kind, StateKind::setup) << "accepted connections come unstarted";
        server->setStateHandler(serverStates->handler());
        server->start(serverQueue);
        clientStates->waitFor(StateKind::ready);
        serverStates->waitFor(StateKind::ready);
    }

    TempDir dir;
    std::unique_ptr<TestListener> listener;
    std::shared_ptr<SerialQueue> clientQueue = SerialQueue::make("caldrovex.test.client");
    std::shared_ptr<SerialQueue> serverQueue = SerialQueue::make("caldrovex.test.server");
    ConnectionPtr client, server;
    std::shared_ptr<StateLog> clientStates = StateLog::make();
    std::shared_ptr<StateLog> serverStates = StateLog::make();
    // Written on the client's queue by the verify callback, read after the handshake.
    std::shared_ptr<std::vector<std::vector<CertificateDer>>> verifiedChains =
        std::make_shared<std::vector<std::vector<CertificateDer>>>();
};

// Receives exactly `total` bytes in receives of exactly `pieces[i % n]` bytes each (the last
// one shortened), chaining each receive from the previous completion, as a framed reader does.
std::future<Bytes> receiveInPieces(ConnectionPtr connection, size_t total,
                                   std::vector<size_t> pieces) {
    struct Loop {
        ConnectionPtr connection;
        size_t total = 0;
        std::vector<size_t> pieces;
        size_t step = 0;
        Bytes received;
        std::promise<Bytes> done;
    };
    auto loop = std::make_shared<Loop>();
    loop->connection = std::move(connection);
    loop->total = total;
    loop->pieces = std::move(pieces);
    auto future = loop->done.get_future();
    struct Step {
        static void next(std::shared_ptr<Loop> loop) {
            size_t count = std::min(loop->pieces[loop->step++ % loop->pieces.size()],
                                    loop->total - loop->received.size());
            loop->connection->receive(
                count, count,
                [loop, count](std::optional<Bytes> data, bool, std::optional<NetError> error) {
                    if (error || !data || data->size() != count) {
                        loop->done.set_exception(
                            std::make_exception_ptr(std::runtime_error("short or failed receive")));
                        return;
                    }
                    loop->received.insert(loop->received.end(), data->begin(), data->end());
                    if (loop->received.size() == loop->total)
                        return loop->done.set_value(std::move(loop->received));
                    next(loop);
                });
        }
    };
    Step::next(loop);
    return future;
}

TEST_P(LoopbackConnection, ReportsPreparingThenReadyAndThePeerDetails) {
    EXPECT_TRUE(GetParam().unixPath
                    ? std::holds_alternative<UnixPath>(*listener->listener->localEndpoint())
                    : std::get<HostPort>(*listener->listener->localEndpoint()).port != 0);
    connect();
    EXPECT_EQ(clientStates->kinds(),
              (std::vector<StateKind>{StateKind::preparing, StateKind::ready}));
    EXPECT_EQ(serverStates->kinds(),
              (std::vector<StateKind>{StateKind::preparing, StateKind::ready}));
    EXPECT_EQ(client->state().kind, StateKind::ready);

    if (GetParam().tls) {
        auto chain = client->peerCertificates();
        ASSERT_EQ(chain.size(), 1u);
        EXPECT_EQ(chain[0], TestCertificate::shared().der);
        ASSERT_EQ(verifiedChains->size(), 1u) << "the verify callback runs once per handshake";
        EXPECT_EQ((*verifiedChains)[0], chain);
    } else {
        EXPECT_TRUE(client->peerCertificates().empty());
    }
    EXPECT_TRUE(server->peerCertificates().empty()) << "clients present no certificate";

    if (GetParam().unixPath) {
        EXPECT_FALSE(client->remoteEndpoint().has_value());
    } else {
        ASSERT_TRUE(client->remoteEndpoint().has_value());
        EXPECT_EQ(*client->remoteEndpoint(), *listener->listener->localEndpoint());
        EXPECT_EQ(std::get<HostPort>(*server->remoteEndpoint()).host, "127.0.0.1");
    }
}

TEST_P(LoopbackConnection, ManySendsArriveInOrderAndReceivesTakeExactCounts) {
    // Sends made before start are held until ready and keep their place in the order.
    std::vector<Bytes> chunks;
    Bytes expected;
    for (int i = 0; i < 300; ++i) {
        Bytes chunk(1 + (i * 37) % 5000);
        for (size_t j = 0; j < chunk.size(); ++j) chunk[j] = static_cast<uint8_t>(i + j);
        chunks.push_back(chunk);
    }
    chunks.push_back(Bytes(1 << 20, 0xA5));  // larger than any socket buffer
    for (const auto& chunk : chunks) expected.insert(expected.end(), chunk.begin(), chunk.end());

    std::vector<Bytes> early(chunks.begin(), chunks.begin() + 10);
    connect(early);
    auto received = receiveInPieces(server, expected.size(), {5, 1, 4096, 70000});
    std::vector<std::future<std::optional<NetError>>> sent;
    for (size_t i = early.size(); i < chunks.size(); ++i)
        sent.push_back(sendFuture(client, chunks[i]));

    EXPECT_EQ(await(received, "all bytes"), expected);
    for (auto& completion : sent) EXPECT_FALSE(await(completion, "a send completion"));
}

TEST_P(LoopbackConnection, ReceiveReturnsBetweenMinimumAndMaximum) {
    connect();
    auto sent = sendFuture(client, bytesOf("0123456789"));
    auto first = receiveFuture(server, 1, 4);
    auto head = await(first, "a first receive");
    ASSERT_TRUE(head.data.has_value());
    ASSERT_GE(head.data->size(), 1u);
    ASSERT_LE(head.data->size(), 4u);
    size_t rest = 10 - head.data->size();
    auto second = receiveFuture(server, rest, rest);
    EXPECT_EQ(textOf(head.data) + textOf(await(second, "the rest").data), "0123456789");
    EXPECT_FALSE(await(sent, "the send"));
}

TEST_P(LoopbackConnection, EndOfStreamCompletesThePeerAndLeavesTheOtherDirectionOpen) {
    connect();
    client->send(bytesOf("bye"), {});
    std::promise<std::optional<NetError>> ended;
    client->sendEndOfStream([&](std::optional<NetError> error) { ended.set_value(error); });
    auto endedFuture = ended.get_future();
    EXPECT_FALSE(await(endedFuture, "the end-of-stream completion"));

    // More than will ever come: the end of the stream cuts the receive short.
    auto last = receiveFuture(server, 10, 10);
    auto tail = await(last, "the last bytes");
    EXPECT_EQ(textOf(tail.data), "bye");
    EXPECT_TRUE(tail.isComplete);
    EXPECT_FALSE(tail.error);
    auto after = receiveFuture(server, 1, 1);
    auto nothing = await(after, "a receive after the end");
    EXPECT_FALSE(nothing.data.has_value());
    EXPECT_TRUE(nothing.isComplete);

    // The client can still read what the server answers.
    auto reply = receiveFuture(client, 5, 5);
    server->send(bytesOf("reply"), {});
    EXPECT_EQ(textOf(await(reply, "the reply").data), "reply");
    auto late = sendFuture(client, bytesOf("late"));
    EXPECT_TRUE(await(late, "a late send").has_value())
        << "nothing may be sent after the end of the stream";
}

TEST_P(LoopbackConnection, CancelIsIdempotentFromAnyThreadAndFailsPendingWork) {
    connect();
    auto pending = receiveFuture(client, 1, 1);
    auto peerSees = receiveFuture(server, 1, 1);
    std::thread other([&] { client->cancel(); });
    client->cancel();
    other.join();
    client->cancel();

    auto failed = await(pending, "the pending receive");
    EXPECT_TRUE(failed.error.has_value());
    EXPECT_FALSE(failed.data.has_value());
    clientStates->waitFor(StateKind::cancelled);
    auto afterCancel = sendFuture(client, bytesOf("x"));
    EXPECT_TRUE(await(afterCancel, "a send after cancel").has_value());
    auto receiveAfter = receiveFuture(client, 1, 1);
    EXPECT_TRUE(await(receiveAfter, "a receive after cancel").error.has_value());
    clientQueue->sync([] {});  // every cancel has run by now
    EXPECT_EQ(clientStates->kinds(), (std::vector<StateKind>{StateKind::preparing, StateKind::ready,
                                                             StateKind::cancelled}));
    EXPECT_EQ(client->state().kind, StateKind::cancelled);

    auto end = await(peerSees, "the peer's end of stream");
    EXPECT_TRUE(end.isComplete);
    EXPECT_FALSE(end.error);
}

TEST_P(LoopbackConnection, DroppingTheLastReferenceEndsThePeersStream) {
    connect();
    auto peerSees = receiveFuture(server, 1, 1);
    client.reset();
    auto end = await(peerSees, "the peer's end of stream");
    EXPECT_TRUE(end.isComplete);
}

// The owner's queue need not be a SerialQueue: with a manual queue, results wait there until
// the test runs it.
TEST_P(LoopbackConnection, DeliversToAQueueThatIsNotASerialQueue) {
    auto manual = std::make_shared<ManualQueue>();
    connect();
    auto viaManual = makeConnection(*listener->listener->localEndpoint(), clientParameters());
    auto states = StateLog::make();
    viaManual->setStateHandler(states->handler());
    viaManual->start(manual);
    auto peer = listener->connection(1);
    peer->start(serverQueue);
    auto echo = receiveFuture(viaManual, 4, 4);
    peer->send(bytesOf("ping"), {});

    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (echo.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "no answer reached the manual queue";
        manual->runReady();
    }
    EXPECT_EQ(textOf(echo.get().data), "ping");
    EXPECT_EQ(states->kinds(), (std::vector<StateKind>{StateKind::preparing, StateKind::ready}));
    viaManual->cancel();
    peer->cancel();
}

TEST(RealConnection, CancelBeforeStartNeverDialsAndFailsHeldWork) {
    auto client = makeConnection(HostPort{"127.0.0.1", 9}, {});
    auto states = StateLog::make();
    client->setStateHandler(states->handler());
    auto held = sendFuture(client, bytesOf("never"));
    client->cancel();
    EXPECT_EQ(client->state().kind, StateKind::cancelled);
    auto queue = SerialQueue::make("caldrovex.test.client");
    client->start(queue);
    states->waitFor(StateKind::cancelled);
    EXPECT_TRUE(await(held, "the held send").has_value());
    queue->sync([] {});
    EXPECT_EQ(states->kinds(), std::vector<StateKind>{StateKind::cancelled});
}

INSTANTIATE_TEST_SUITE_P(Transports, LoopbackConnection,
                         ::testing::Values(Transport{"TlsOverTcp", true, false},
                                           Transport{"TlsOverUnix", true, true},
                                           Transport{"PlainTcp", false, false},
                                           Transport{"PlainUnix", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
