#include <gtest/gtest.h>

#include "support/SimulatedLink.h"

using namespace caldrovex;
using platform::net::Bytes;
using platform::net::NetError;
using test::SimulatedLink;

namespace {

// A link on a fresh virtual-time queue, both ends started, with a reader on end B that
// keeps asking for more and records when each byte count arrived.
struct LinkFixture {
    std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
    std::shared_ptr<SimulatedLink> link;
    size_t received = 0;
    std::vector<std::pair<double, size_t>> arrivals;  // (time, total bytes so far)
    Bytes content;
    bool ended = false;

    explicit LinkFixture(SimulatedLink::Config config) {
        link = SimulatedLink::make(queue, config);
        link->endA()->start(queue);
        link->endB()->start(queue);
        read();
    }

    void read() {
        link->endB()->receive(
            1, 1 << 20, [this](std::optional<Bytes> data, bool complete, std::optional<NetError>) {
                if (data) {
                    received += data->size();
                    content.insert(content.end(), data->begin(), data->end());
                    arrivals.emplace_back(queue->monotonic(), received);
                }
                if (complete) {
                    ended = true;
                    return;
                }
                read();
            });
    }

    // Time at which the total received first reached `bytes`, or -1.
    double timeReaching(size_t bytes) const {
        for (auto& [time, total] : arrivals) {
            if (total >= bytes) return time;
        }
        return -1;
    }
};

SimulatedLink::Config config(double bps, double delay, size_t buffer = 0) {
    SimulatedLink::Config c;
    c.capacityBitsPerSecond = bps;
    c.oneWayDelay = delay;
    c.bufferBytes = buffer;
    return c;
}

}  // namespace

TEST(SimulatedLink, FirstPacketArrivesAfterSerialisationPlusDelay) {
    LinkFixture f(config(1'200'000, 0.050));  // 1500 bytes take 10 ms at 1.2 Mbit/s
    f.link->endA()->send(Bytes(1500, 7), nullptr);
    f.queue->advance(0.059);
    EXPECT_EQ(f.received, 0u);
    f.queue->advance(0.002);
    EXPECT_EQ(f.received, 1500u);
}

TEST(SimulatedLink, ThroughputMatchesCapacity) {
    LinkFixture f(config(8'000'000, 0.020, 10'000'000));  // 1 MB/s, a buffer that never fills
    f.link->endA()->send(Bytes(3'000'000, 1), nullptr);
    f.queue->advance(10);
    ASSERT_EQ(f.received, 3'000'000u);
    // 3 MB at 1 MB/s plus the propagation delay.
    EXPECT_NEAR(f.timeReaching(3'000'000), 3.020, 0.002);
    EXPECT_NEAR(f.timeReaching(1'500'000), 1.520, 0.002);
}

TEST(SimulatedLink, FullBufferHoldsTheWriteCompletionBack) {
    LinkFixture f(config(800'000, 0.010, 20'000));  // 100 kB/s, 20 kB of buffer
    std::vector<double> completedAt;
    for (int i = 0; i < 4; ++i) {
        f.link->endA()->send(Bytes(10'000, 2), [&](std::optional<NetError> error) {
            EXPECT_FALSE(error);
            completedAt.push_back(f.queue->monotonic());
        });
    }
    f.queue->runReady();
    // The first two writes fit in the buffer at once; the others wait for room.
    ASSERT_EQ(completedAt.size(), 2u);
    f.queue->advance(0.099);
    EXPECT_EQ(completedAt.size(), 2u);
    f.queue->advance(0.002);  // the first 10 kB left the buffer at 0.1 s
    EXPECT_EQ(completedAt.size(), 3u);
    f.queue->advance(1);
    EXPECT_EQ(completedAt.size(), 4u);
    EXPECT_EQ(f.received, 40'000u);
}

TEST(SimulatedLink, CapacityChangesAtTheGivenTime) {
    auto c = config(8'000'000, 0.0, 100'000'000);
    c.capacityChanges = {{1.0, 800'000}};  // 1 MB/s, then 100 kB/s from t = 1 s
    LinkFixture f(c);
    f.link->endA()->send(Bytes(2'000'000, 3), nullptr);
    f.queue->advance(1.0);
    EXPECT_NEAR(static_cast<double>(f.received), 1'000'000, 3'000);
    f.queue->advance(1.0);
    EXPECT_NEAR(static_cast<double>(f.received), 1'100'000, 3'000);
}

TEST(SimulatedLink, JitterNeverReordersBytes) {
    auto c = config(10'000'000, 0.010, 1'000'000);
    c.jitterMax = 0.030;
    c.seed = 42;
    LinkFixture f(c);
    Bytes sent(200'000);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 31 + i / 256);
    f.link->endA()->send(sent, nullptr);
    f.queue->advance(2);
    EXPECT_EQ(f.content, sent);
}

TEST(SimulatedLink, EndOfStreamAndCancelReachThePeer) {
    LinkFixture f(config(8'000'000, 0.005));
    f.link->endA()->send(Bytes(100, 1), nullptr);
    f.link->endA()->sendEndOfStream(nullptr);
    f.queue->advance(1);
    EXPECT_EQ(f.received, 100u);
    EXPECT_TRUE(f.ended);

    LinkFixture g(config(8'000'000, 0.005));
    std::optional<NetError> late;
    g.link->endA()->cancel();
    g.link->endA()->send(Bytes(10, 1), [&](std::optional<NetError> error) { late = error; });
    g.queue->advance(1);
    EXPECT_TRUE(g.ended);
    EXPECT_TRUE(late.has_value());
}
