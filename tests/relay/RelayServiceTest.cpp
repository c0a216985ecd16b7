// The relay service as a program: links from this process register with the real
// caldrovex-relay on loopback, and what each side hears is what the service decided.

#include <gtest/gtest.h>

#include "relay/RelayProcess.h"

using namespace caldrovex;
using namespace caldrovex::test;
using Kind = RelayLink::Outcome::Kind;
using Role = RelayLink::Role;

namespace {

std::string key(char digit) {
    return std::string(64, digit);
}

// What a paired link received: its leftover, then the rest read from its connection.
std::string readText(const RelayLink::Outcome& paired, size_t wanted) {
    std::string text(paired.leftover.begin(), paired.leftover.end());
    return text + receiveText(paired.connection, wanted - text.size());
}

class RelayService : public ::testing::Test {
protected:
    std::shared_ptr<SerialQueue> queue = SerialQueue::make("caldrovex.test.links");
};

TEST_F(RelayService, ADeviceWhoseValueNoHostHoldsHearsOffline) {
    RelayProcess relay;
    TestLink host(relay.endpoint(), Role::host, {key('a')}, queue);
    ASSERT_EQ(host.kindAt(0), Kind::waiting);

    TestLink stranger(relay.endpoint(), Role::device, {RelayEndpoint::rendezvous(key('b'))}, queue);
    EXPECT_EQ(stranger.kindAt(0), Kind::offline);
    // Knowing a host's key is not knowing the value its devices present: the key itself is no
    // rendezvous value.
    TestLink keyHolder(relay.endpoint(), Role::device, {key('a')}, queue);
    EXPECT_EQ(keyHolder.kindAt(0), Kind::offline);
    EXPECT_EQ(host.log->values().size(), 1u) << "the host heard of neither";
}

TEST_F(RelayService, HostsOnlyEverGetDevicesOfTheirOwnKeys) {
    RelayProcess relay;
    const std::string keyA = key('a');
    const std::string keyB = key('b');
    TestLink hostA(relay.endpoint(), Role::host, {key('0'), keyA}, queue);
    TestLink hostB(relay.endpoint(), Role::host, {keyB}, queue);
    // A host that registered A's devices' value as its own key gains nothing by it.
    TestLink impostor(relay.endpoint(), Role::host, {RelayEndpoint::rendezvous(keyA)}, queue);
    for (auto* host : {&hostA, &hostB, &impostor}) ASSERT_EQ(host->kindAt(0), Kind::waiting);

    TestLink device(relay.endpoint(), Role::device, {RelayEndpoint::rendezvous(keyA)}, queue);
    const auto devicePaired = device.next(0);
    ASSERT_EQ(devicePaired.kind, Kind::paired);
    const auto hostPaired = hostA.next(1);
    ASSERT_EQ(hostPaired.kind, Kind::paired);

    // The two are joined: bytes go both ways.
    devicePaired.connection->send(bytesOf("client hello"), nullptr);
    EXPECT_EQ(readText(hostPaired, 12), "client hello");
    hostPaired.connection->send(bytesOf("server hello"), nullptr);
    EXPECT_EQ(readText(devicePaired, 12), "server hello");

    // B's device reaches B, and the impostor never hears of anyone.
    TestLink deviceB(relay.endpoint(), Role::device, {RelayEndpoint::rendezvous(keyB)}, queue);
    EXPECT_EQ(deviceB.kindAt(0), Kind::paired);
    EXPECT_EQ(hostB.kindAt(1), Kind::paired);
    EXPECT_EQ(impostor.log->values().size(), 1u);
    devicePaired.connection->cancel();
}

TEST_F(RelayService, ADeviceArrivingWhileItsHostIsBusyGetsTheHostsNextLink) {
    RelayProcess relay;
    const std::string value = RelayEndpoint::rendezvous(key('c'));
    TestLink first(relay.endpoint(), Role::host, {key('c')}, queue);
    ASSERT_EQ(first.kindAt(0), Kind::waiting);
    TestLink device1(relay.endpoint(), Role::device, {value}, queue);
    ASSERT_EQ(device1.kindAt(0), Kind::paired);

    // Every link of the host is in a session: the next device is held, not sent away.
    TestLink device2(relay.endpoint(), Role::device, {value}, queue);
    ASSERT_EQ(device2.kindAt(0), Kind::waiting);
    TestLink second(relay.endpoint(), Role::host, {key('c')}, queue);
    EXPECT_EQ(device2.kindAt(1), Kind::paired);
    EXPECT_EQ(second.kindAt(1), Kind::paired);
}

TEST_F(RelayService, ARequestThatIsNoneIsClosedWithoutAWord) {
    RelayProcess relay;
    TestLink bad(relay.endpoint(), Role::host, {"not-a-key"}, queue);
    EXPECT_EQ(bad.next(0).message, RelayLink::kClosedMessage);
    TestLink twoValues(relay.endpoint(), Role::device, {key('d'), key('e')}, queue);
    EXPECT_EQ(twoValues.next(0).message, RelayLink::kClosedMessage);
}

TEST_F(RelayService, PastTheConnectionLimitLinksHearFullAndTheServiceGoesOn) {
    RelayProcess relay({"--max-connections", "2", "--per-source", "1000"});
    auto first = std::make_unique<TestLink>(relay.endpoint(), Role::host,
                                            std::vector<std::string>{key('1')}, queue);
    TestLink second(relay.endpoint(), Role::host, {key('2')}, queue);
    ASSERT_EQ(first->kindAt(0), Kind::waiting);
    ASSERT_EQ(second.kindAt(0), Kind::waiting);

    TestLink third(relay.endpoint(), Role::host, {key('3')}, queue);
    EXPECT_EQ(third.next(0).message, RelayLink::kBusyMessage);

    // Once a link leaves, there is room again (as soon as the relay noticed).
    first.reset();
    bool served = false;
    for (int attempt = 0; attempt < 100 && !served; ++attempt) {
        TestLink again(relay.endpoint(), Role::host, {key('4')}, queue);
        served = again.kindAt(0) == Kind::waiting;
    }
    EXPECT_TRUE(served);
}

TEST_F(RelayService, ASourceOpeningTooManyLinksIsCutOff) {
    RelayProcess relay({"--per-source", "3"});
    for (int i = 0; i < 3; ++i) {
        TestLink device(relay.endpoint(), Role::device, {key('f')}, queue);
        EXPECT_EQ(device.kindAt(0), Kind::offline) << i;
    }
    TestLink fourth(relay.endpoint(), Role::device, {key('f')}, queue);
    const auto outcome = fourth.next(0);
    EXPECT_EQ(outcome.kind, Kind::failed);
    EXPECT_NE(outcome.message, RelayLink::kBusyMessage);
}

TEST_F(RelayService, KeepsItsCertificateAcrossRestarts) {
    std::string hash;
    auto state = std::make_shared<TempDir>();
    {
        RelayProcess relay({}, state);
        hash = relay.hash;
        EXPECT_EQ(hash.size(), 64u);
    }
    RelayProcess again({}, state);
    EXPECT_EQ(again.hash, hash);
}

}  // namespace
