// The intake of new connections: its limits and their release, the attempt window, the
// admission deadline.

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <set>
#include <thread>

#include "HostFixture.h"

namespace caldrovex::test {
namespace {

class HostIntake : public HostFixture {
protected:
    // Closes a device's connection from its side and lets the host notice.
    void hangUp(TestDevice& device) {
        device.channel->cancel();
        settle();
    }
};

TEST_F(HostIntake, AcceptedConnectionIsPendingOnItsOwnTransportQueue) {
    makeSharingHost();
    queueLabels.clear();
    auto device = connect("100.64.0.1", "100.100.9.9");
    ASSERT_EQ(pendingCount(), 1u);
    EXPECT_FALSE(device->closed);
    EXPECT_EQ(queueLabels, (std::vector<std::string>{"caldrovex.transport"}));
    const auto pendingPeers = host->debugState().pendingPeers;
    const auto& [id, source] = *pendingPeers.begin();
    EXPECT_EQ(source, (ConnectionIntake::Source{"100.64.0.1", "100.100.9.9"}));
    hangUp(*device);
    EXPECT_EQ(pendingCount(), 0u) << "a close removes the pending entry";
}

TEST_F(HostIntake, SixtyFifthPendingConnectionIsRefusedUntilOneLeaves) {
    // Eight listeners with eight remote hosts each fill the intake without touching the
    // per-listener or per-host limits.
    vpnAddresses.clear();
    for (int i = 1; i <= 9; ++i) vpnAddresses.push_back("10.0.0." + std::to_string(i));
    makeSharingHost();
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int pool = 1; pool <= 8; ++pool) {
        for (int peer = 1; peer <= 8; ++peer) {
            devices.push_back(
                connect("10.0.0." + std::to_string(pool),
                        "100.100." + std::to_string(pool) + "." + std::to_string(peer)));
        }
    }
    ASSERT_EQ(pendingCount(), 64u);
    auto refused = connect("10.0.0.9", "100.100.9.1");
    EXPECT_TRUE(refused->closed) << "cancelled at once";
    EXPECT_EQ(pendingCount(), 64u);

    hangUp(*devices.front());
    auto accepted = connect("10.0.0.9", "100.100.9.2");
    EXPECT_FALSE(accepted->closed);
    EXPECT_EQ(pendingCount(), 64u);
}

TEST_F(HostIntake, NinthPendingConnectionOnOneListenerIsRefused) {
    makeSharingHost();
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int peer = 1; peer <= 8; ++peer)
        devices.push_back(connect("100.64.0.1", "100.100.0." + std::to_string(peer)));
    auto refused = connect("100.64.0.1", "100.100.0.9");
    EXPECT_TRUE(refused->closed);
    hangUp(*devices.back());
    auto accepted = connect("100.64.0.1", "100.100.0.10");
    EXPECT_FALSE(accepted->closed);
}

TEST_F(HostIntake, FifthPendingConnectionFromOneHostIsRefusedUntilOneIsAdmittedOrCloses) {
    makeSharingHost();
    host->makeInvitation();
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int i = 0; i < 4; ++i) devices.push_back(connect("100.64.0.1", "100.100.1.1"));
    EXPECT_TRUE(connect("100.64.0.1", "100.100.1.1")->closed);
    EXPECT_FALSE(connect("100.64.0.1", "100.100.1.2")->closed) << "another host is counted apart";

    // Admission frees a place.
    devices[0]->send(pairMessage(kDeviceA, host->published().invitation->secret));
    settle();
    ASSERT_EQ(host->activeDeviceID(), kDeviceA);
    auto fifth = connect("100.64.0.1", "100.100.1.1");
    EXPECT_FALSE(fifth->closed);
    EXPECT_TRUE(connect("100.64.0.1", "100.100.1.1")->closed);

    // So does a close.
    hangUp(*devices[1]);
    EXPECT_FALSE(connect("100.64.0.1", "100.100.1.1")->closed);
}

TEST_F(HostIntake, RelayPoolHoldsTwelveAndIgnoresPeersAndAttempts) {
    makeSharingHost();
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (int i = 0; i < 12; ++i) devices.push_back(connectRelayed());
    EXPECT_EQ(pendingCount(), 12u);
    EXPECT_TRUE(connectRelayed()->closed);
    hangUp(*devices.front());
    EXPECT_FALSE(connectRelayed()->closed);
    EXPECT_TRUE(host->debugState().attempts.empty());
}

TEST_F(HostIntake, ThirtyFirstAttemptWithinSixtySecondsIsRefused) {
    makeSharingHost();
    for (int i = 0; i < 30; ++i) {
        auto device = connect("100.64.0.1", "100.100.7.7");
        ASSERT_FALSE(device->closed) << "attempt " << i + 1;
        hangUp(*device);
        advance(1);
    }
    // 30 s into the window: the 31st is refused, and refusals do not extend the window.
    EXPECT_TRUE(connect("100.64.0.1", "100.100.7.7")->closed);
    advance(29);  // 59 s after the window began
    EXPECT_TRUE(connect("100.64.0.1", "100.100.7.7")->closed);
    advance(1.5);  // more than 60 s: a new window
    auto fresh = connect("100.64.0.1", "100.100.7.7");
    EXPECT_FALSE(fresh->closed);
    EXPECT_EQ(host->debugState().attempts.at("100.100.7.7").count, 1);
}

TEST_F(HostIntake, AttemptEntryIsForgottenTwoMinutesAfterItsWindowBegan) {
    makeSharingHost();
    double began = queue->monotonic();
    hangUp(*connect("100.64.0.1", "100.100.7.7"));
    ASSERT_EQ(host->debugState().attempts.count("100.100.7.7"), 1u);
    // Ticks run every 3 s; the last one before 120 s keeps the entry, the next drops it.
    advance(began + 119 - queue->monotonic());
    EXPECT_EQ(host->debugState().attempts.count("100.100.7.7"), 1u);
    advance(3);
    EXPECT_EQ(host->debugState().attempts.count("100.100.7.7"), 0u);
}

TEST_F(HostIntake, SilentConnectionIsCancelledTenSecondsAfterItWasAccepted) {
    makeSharingHost();
    auto device = connect();
    advance(9.9);
    EXPECT_FALSE(device->closed);
    EXPECT_EQ(pendingCount(), 1u);
    advance(0.1);
    EXPECT_TRUE(device->closed);
    EXPECT_EQ(pendingCount(), 0u);
}

TEST_F(HostIntake, AdmittedConnectionOutlivesTheDeadline) {
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA);
    advance(10);
    EXPECT_FALSE(device->closed);
    EXPECT_EQ(host->activeDeviceID(), kDeviceA);
}

// The per-host limits through the real listener on loopback: four silent TCP connections from
// 127.0.0.2 fill that host's share, and a device at 127.0.0.3 still gets in. The host's main
// queue stays virtual; the test runs it while waiting for the network.
TEST_F(HostIntake, RealListenerTellsRemoteHostsApart) {
    platform::net::ListenerPtr real;
    auto environment = this->environment();
    environment.makeListener = [this, &real](platform::net::Parameters parameters) {
        if (!std::holds_alternative<platform::net::HostPort>(*parameters.requiredLocalEndpoint))
            return listeners.make(parameters);  // the bridge stays a fake
        parameters.requiredLocalEndpoint = platform::net::HostPort{"127.0.0.1", 0};
        return real = platform::net::makeListener(parameters);
    };
    vpnAddresses = {"127.0.0.1"};
    settings->values["hostEnabled"] = true;
    host = HostModel::create(environment);
    auto settleUntil = [this](const char* what, const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "waiting for " << what;
            settle();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    settleUntil("the listener", [&] { return host->published().running; });
    const auto port = std::get<platform::net::HostPort>(*real->localEndpoint()).port;

    asio::io_context io;
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> clients;
    auto connectFrom = [&](const char* source) {
        auto client = std::make_unique<asio::ip::tcp::socket>(io);
        client->open(asio::ip::tcp::v4());
        client->bind({asio::ip::make_address(source), 0});
        client->connect({asio::ip::make_address("127.0.0.1"), port});
        clients.push_back(std::move(client));
        return clients.back().get();
    };
    auto peers = [&] {
        std::multiset<std::string> names;
        const auto pending = host->debugState().pendingPeers;
        for (const auto& [id, source] : pending) names.insert(source.peer);
        return names;
    };
    for (size_t i = 1; i <= 4; ++i) {
        connectFrom("127.0.0.2");
        settleUntil("a pending connection", [&] { return pendingCount() == i; });
    }
    connectFrom("127.0.0.3");
    settleUntil("the second host's connection", [&] { return pendingCount() == 5; });
    EXPECT_EQ(peers(), (std::multiset<std::string>{"127.0.0.2", "127.0.0.2", "127.0.0.2",
                                                   "127.0.0.2", "127.0.0.3"}));

    // A fifth from the first host is closed without a word.
    auto* refused = connectFrom("127.0.0.2");
    settleUntil("the refusal", [&] {
        refused->non_blocking(true);
        char byte = 0;
        std::error_code error;
        refused->read_some(asio::buffer(&byte, 1), error);
        return error && error != asio::error::would_block;
    });
    EXPECT_EQ(pendingCount(), 5u);
    host->stop(false);
    settle();
}

}  // namespace
}  // namespace caldrovex::test
