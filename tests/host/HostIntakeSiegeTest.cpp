// A few remote hosts holding every place of a listener's pool, within the per-host limits,
// must not keep a paired device out: silent connections go after five seconds, and a
// newcomer from a host with fewer places displaces the biggest holder's oldest connection.

#include "LoopbackHostFixture.h"
#include "protocol/PacketConnection.h"

namespace caldrovex::test {
namespace {

class HostIntakeSiege : public LoopbackHostFixture {
protected:
    // Device A paired (its pairing connection closed again), and the host idle.
    void pairDeviceA() {
        auto pairing = pairNewDevice(kDeviceA);
        pairing->channel->cancel();
        settle();
        ASSERT_FALSE(host->activeDeviceID().has_value());
    }
};

// The attack as it was measured against the pool: two hosts each keep four silent TCP
// connections open and open a new one the moment the host closes one; the device tries to
// authenticate every half second. Virtual time, in steps of 0.1 s.
TEST_F(HostIntakeSiege, TwoHostsKeepingTheirShareDoNotKeepADeviceOut) {
    makeSharingHost();
    pairDeviceA();
    const std::vector<std::string> attackers = {"100.100.2.2", "100.100.3.3"};
    std::map<std::string, std::vector<std::unique_ptr<TestDevice>>> held;
    auto keepFourEach = [&] {
        for (const auto& attacker : attackers) {
            auto& mine = held[attacker];
            std::erase_if(mine, [](const auto& device) { return device->closed; });
            while (mine.size() < 4) {
                auto device = connect("100.64.0.1", attacker);
                if (device->closed) break;  // refused (the attempt limit): try at the next step
                mine.push_back(std::move(device));
            }
        }
    };
    keepFourEach();
    ASSERT_EQ(pendingCount(), 8u) << "the pool is full";

    const double began = queue->monotonic();
    std::optional<double> admittedAfter;
    std::unique_ptr<TestDevice> device;
    for (int step = 0; step < 250 && !admittedAfter; ++step) {
        if (step % 5 == 0) device = authenticate(kDeviceA, false, "100.100.1.2");
        if (host->activeDeviceID() == kDeviceA) admittedAfter = queue->monotonic() - began;
        advance(0.1);
        keepFourEach();
    }
    ASSERT_TRUE(admittedAfter.has_value()) << "locked out for 25 s";
    EXPECT_EQ(*admittedAfter, 0.0) << "admitted at the first try";
    EXPECT_TRUE(device->receivedOf("hello").size() == 1u);
}

TEST_F(HostIntakeSiege, NewcomerTakesTheOldestPlaceOfTheBiggestHolder) {
    makeSharingHost();
    std::vector<std::unique_ptr<TestDevice>> two, three;
    for (int i = 0; i < 4; ++i) {
        two.push_back(connect("100.64.0.1", "100.100.2.2"));
        three.push_back(connect("100.64.0.1", "100.100.3.3"));
    }
    auto newcomer = connect("100.64.0.1", "100.100.9.9");
    EXPECT_FALSE(newcomer->closed);
    EXPECT_TRUE(two[0]->closed) << "the oldest of the (equally) biggest holders";
    EXPECT_EQ(pendingCount(), 8u);

    // 100.100.2.2 now holds three places to 100.100.3.3's four: it takes one back, and so
    // on, each time from the other's oldest.
    auto back = connect("100.64.0.1", "100.100.2.2");
    EXPECT_FALSE(back->closed);
    EXPECT_TRUE(three[0]->closed);
    auto again = connect("100.64.0.1", "100.100.3.3");
    EXPECT_FALSE(again->closed);
    EXPECT_TRUE(two[1]->closed);
    // The newcomer's second connection also displaces (one place against four).
    auto second = connect("100.64.0.1", "100.100.9.9");
    EXPECT_FALSE(second->closed);
    EXPECT_TRUE(three[1]->closed);
    // Both hosts hold three now, as many as the most: neither takes another place.
    EXPECT_TRUE(connect("100.64.0.1", "100.100.2.2")->closed);
    EXPECT_TRUE(connect("100.64.0.1", "100.100.3.3")->closed);
    EXPECT_FALSE(newcomer->closed) << "the newcomer never holds the most";
    EXPECT_EQ(pendingCount(), 8u);
}

// The same through the real listener on loopback: 127.0.0.2 and 127.0.0.3 fill the pool with
// silent TCP connections, and the device, speaking TLS from 127.0.0.1, gets in.
TEST_F(HostIntakeSiege, RealListenerLetsTheDeviceIn) {
    vpnAddresses = {"100.64.0.1", "127.0.0.1"};
    makeLoopbackHost();
    ASSERT_TRUE(settleUntil("the real listener", [&] {
        auto bound = real.count("127.0.0.1") ? real["127.0.0.1"]->localEndpoint() : std::nullopt;
        return bound.has_value();
    }));
    pairDeviceA();
    auto inPool = [&] {
        size_t count = 0;
        for (const auto& [id, source] : host->debugState().pendingPeers)
            count += source.pool == "127.0.0.1";
        return count;
    };
    std::vector<asio::ip::tcp::socket*> silent;
    for (int i = 0; i < 4; ++i) {
        silent.push_back(&connectFrom("127.0.0.2", "127.0.0.1"));
        silent.push_back(&connectFrom("127.0.0.3", "127.0.0.1"));
    }
    ASSERT_TRUE(settleUntil("a full pool", [&] { return inPool() == 8; }));

    platform::net::Parameters parameters;
    parameters.tls = platform::net::TlsOptions{};
    auto channel = PacketConnection::make(
        platform::net::makeConnection(platform::net::HostPort{"127.0.0.1", portOf("127.0.0.1")},
                                      parameters),
        queue, queue);
    std::vector<ControlMessage> replies;
    channel->onControl = [&](ControlMessage message) { replies.push_back(std::move(message)); };
    channel->start();
    channel->send(authenticateMessage(kDeviceA, tokenOf(kDeviceA)));
    ASSERT_TRUE(settleUntil("the device's admission", [&] { return !replies.empty(); }));
    EXPECT_EQ(replies.front().type, "hello");
    EXPECT_EQ(host->activeDeviceID(), kDeviceA);
    ASSERT_TRUE(settleUntil("the displaced connection's close",
                            [&] { return closedByHost(*silent.front()); }));
    EXPECT_EQ(inPool(), 7u);
    channel->cancel();
    host->stop(false);
    settle();
}

}  // namespace
}  // namespace caldrovex::test
