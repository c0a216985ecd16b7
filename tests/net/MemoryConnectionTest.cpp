#include "platform/net/MemoryConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "platform/ManualQueue.h"
#include "platform/SerialQueue.h"

using namespace caldrovex::platform;
using namespace caldrovex::platform::net;

namespace {

Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
std::string text(const std::optional<Bytes>& data) {
    return data ? std::string(data->begin(), data->end()) : std::string("<none>");
}

struct Received {
    bool done = false;
    std::optional<Bytes> data;
    bool isComplete = false;
    std::optional<NetError> error;
};

// Both ends of a pair on one manual queue; nothing runs until the test calls runReady().
class MemoryConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::tie(a, b) = MemoryConnection::makePair();
        a->setStateHandler([this](const State& s) { statesA.push_back(s.kind); });
        b->setStateHandler([this](const State& s) { statesB.push_back(s.kind); });
    }

    // Work left on the queue may hold the pair; run it out so nothing outlives the test.
    void TearDown() override {
        for (auto* end : {&a, &b}) {
            if (!*end) continue;  // a test may have dropped an end on purpose
            (*end)->setStateHandler(nullptr);
            (*end)->cancel();
        }
        queue->advance(1);
    }

    void startBoth() {
        a->start(queue);
        b->start(queue);
        queue->runReady();
    }

    std::shared_ptr<Received> receive(const MemoryConnection::Ptr& end, size_t min, size_t max) {
        auto result = std::make_shared<Received>();
        end->receive(
            min, max,
            [result](std::optional<Bytes> data, bool complete, std::optional<NetError> error) {
                EXPECT_FALSE(result->done) << "receive completion ran twice";
                *result = Received{true, std::move(data), complete, std::move(error)};
            });
        return result;
    }

    std::shared_ptr<std::vector<std::optional<NetError>>> send(const MemoryConnection::Ptr& end,
                                                               const std::string& content) {
        auto results = std::make_shared<std::vector<std::optional<NetError>>>();
        end->send(bytes(content), [results](std::optional<NetError> e) { results->push_back(e); });
        return results;
    }

    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>();
    MemoryConnection::Ptr a, b;
    std::vector<StateKind> statesA, statesB;
};

TEST_F(MemoryConnectionTest, StartReportsReadyOnTheQueue) {
    EXPECT_EQ(a->state().kind, StateKind::setup);
    a->start(queue);
    EXPECT_TRUE(statesA.empty()) << "handlers run on the queue, not inside start";
    queue->runReady();
    EXPECT_EQ(statesA, std::vector<StateKind>{StateKind::ready});
    EXPECT_EQ(a->state().kind, StateKind::ready);
    EXPECT_TRUE(statesB.empty());
}

TEST_F(MemoryConnectionTest, ReceiveHonoursMinimumAndMaximum) {
    startBoth();
    auto sent1 = send(a, "hello");
    auto sent2 = send(a, "world");
    auto first = receive(b, 3, 3);
    auto second = receive(b, 7, 7);
    EXPECT_FALSE(first->done);
    queue->runReady();
    EXPECT_EQ(text(first->data), "hel");
    EXPECT_EQ(text(second->data), "loworld");
    EXPECT_FALSE(second->isComplete);
    ASSERT_EQ(sent1->size(), 1u);
    ASSERT_EQ(sent2->size(), 1u);
    EXPECT_FALSE((*sent1)[0].has_value());

    // Fewer than the minimum waits; up to the maximum is handed over at once.
    auto waiting = receive(b, 4, 10);
    send(a, "abc");
    queue->runReady();
    EXPECT_FALSE(waiting->done);
    send(a, "defghijklm");
    queue->runReady();
    EXPECT_EQ(text(waiting->data), "abcdefghij");
    auto rest = receive(b, 1, 100);
    queue->runReady();
    EXPECT_EQ(text(rest->data), "klm");
}

TEST_F(MemoryConnectionTest, SendsBeforeStartAreHeldAndKeepTheirOrder) {
    auto early = send(a, "one,");
    send(a, "two,");
    b->start(queue);
    auto got = receive(b, 8, 8);
    queue->runReady();
    EXPECT_FALSE(got->done);
    EXPECT_TRUE(early->empty());
    a->start(queue);
    send(a, "three");
    auto more = receive(b, 5, 5);
    queue->runReady();
    EXPECT_EQ(text(got->data), "one,two,");
    EXPECT_EQ(text(more->data), "three");
    EXPECT_EQ(early->size(), 1u);
}

TEST_F(MemoryConnectionTest, EndOfStreamCompletesThePeerAfterEarlierBytes) {
    startBoth();
    send(a, "tail");
    std::vector<std::optional<NetError>> ended;
    a->sendEndOfStream([&](std::optional<NetError> e) { ended.push_back(e); });
    auto first = receive(b, 10, 10);  // asks for more than will ever come
    auto after = receive(b, 1, 10);
    queue->runReady();
    EXPECT_EQ(text(first->data), "tail");
    EXPECT_TRUE(first->isComplete);
    EXPECT_FALSE(first->error);
    EXPECT_FALSE(after->data);
    EXPECT_TRUE(after->isComplete);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_FALSE(ended[0]);

    // The other direction stays open; this side can no longer send.
    send(b, "reply");
    auto reply = receive(a, 5, 5);
    auto late = send(a, "late");
    queue->runReady();
    EXPECT_EQ(text(reply->data), "reply");
    ASSERT_EQ(late->size(), 1u);
    EXPECT_TRUE((*late)[0].has_value());
}

TEST_F(MemoryConnectionTest, CancelIsIdempotentFailsPendingWorkAndEndsThePeer) {
    startBoth();
    send(a, "last");
    auto pendingA = receive(a, 1, 1);
    auto pendingB = receive(b, 100, 100);
    a->cancel();
    a->cancel();
    auto afterCancel = send(a, "x");
    auto receiveAfter = receive(a, 1, 1);
    queue->runReady();

    EXPECT_EQ(statesA, (std::vector<StateKind>{StateKind::ready, StateKind::cancelled}));
    EXPECT_EQ(a->state().kind, StateKind::cancelled);
    EXPECT_TRUE(pendingA->done && pendingA->error.has_value());
    EXPECT_TRUE(receiveAfter->done && receiveAfter->error.has_value());
    ASSERT_EQ(afterCancel->size(), 1u);
    EXPECT_TRUE((*afterCancel)[0].has_value());

    // The peer gets the bytes sent before the cancel, then the end of the stream.
    EXPECT_EQ(text(pendingB->data), "last");
    EXPECT_TRUE(pendingB->isComplete);
    EXPECT_FALSE(pendingB->error);
    EXPECT_EQ(statesB, std::vector<StateKind>{StateKind::ready});
    auto toGone = send(b, "into the void");
    queue->runReady();
    ASSERT_EQ(toGone->size(), 1u);
}

TEST_F(MemoryConnectionTest, RemovedStateHandlerIsNotCalled) {
    startBoth();
    a->setStateHandler({});
    a->cancel();
    queue->runReady();
    EXPECT_EQ(statesA, std::vector<StateKind>{StateKind::ready});
}

TEST_F(MemoryConnectionTest, HandlerRemovedAfterTheChangeButBeforeItRunsIsNotCalled) {
    a->start(queue);
    a->setStateHandler({});
    queue->runReady();
    EXPECT_TRUE(statesA.empty());
}

TEST_F(MemoryConnectionTest, CancelBeforeStartReportsCancelledOnceStarted) {
    auto early = send(a, "never");
    auto pending = receive(a, 1, 1);
    a->cancel();
    EXPECT_EQ(a->state().kind, StateKind::cancelled);
    a->start(queue);
    queue->runReady();
    EXPECT_EQ(statesA, std::vector<StateKind>{StateKind::cancelled});
    ASSERT_EQ(early->size(), 1u);
    EXPECT_TRUE((*early)[0].has_value());
    EXPECT_TRUE(pending->error.has_value());
}

TEST_F(MemoryConnectionTest, DroppingAnEndEndsThePeersStream) {
    startBoth();
    auto got = receive(b, 1, 1);
    a.reset();
    queue->runReady();
    EXPECT_TRUE(got->done);
    EXPECT_TRUE(got->isComplete);
    EXPECT_FALSE(got->error);
}

TEST_F(MemoryConnectionTest, PeerCertificatesAreWhatTheTestSets) {
    EXPECT_TRUE(a->peerCertificates().empty());
    a->setPeerCertificates({CertificateDer{1, 2, 3}});
    EXPECT_EQ(a->peerCertificates(), std::vector<CertificateDer>{CertificateDer({1, 2, 3})});
    EXPECT_FALSE(a->remoteEndpoint().has_value());
}

// Ends on two serial queues, driven from another thread: order survives real concurrency.
TEST(MemoryConnectionThreads, ManySendsArriveInOrderAcrossSerialQueues) {
    auto [a, b] = MemoryConnection::makePair();
    a->start(SerialQueue::make("caldrovex.test.a"));
    b->start(SerialQueue::make("caldrovex.test.b"));
    constexpr int count = 1000;
    Bytes expected;
    for (int i = 0; i < count; ++i) {
        Bytes chunk(1 + i % 7, static_cast<uint8_t>(i));
        expected.insert(expected.end(), chunk.begin(), chunk.end());
        a->send(chunk, [](std::optional<NetError> e) { EXPECT_FALSE(e); });
    }
    std::promise<Bytes> all;
    b->receive(expected.size(), expected.size(),
               [&](std::optional<Bytes> data, bool, std::optional<NetError>) {
                   all.set_value(data.value_or(Bytes{}));
               });
    auto future = all.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), expected);
}

}  // namespace
