// Admission of devices: pairing, authentication, refusals, busy and takeover, and the
// session's own messages as far as they concern the connection.

#include "HostFixture.h"
#include "reach/RelayEndpoint.h"
#include "trust/DeviceRegistry.h"
#include "trust/SecureStore.h"

namespace caldrovex::test {
namespace {

constexpr const char* kPairAgain = "Pair this device with the host again.";
constexpr const char* kNoLongerTrusted =
    "This device is no longer trusted. Pair it with this computer again.";
constexpr const char* kCodeExpired =
    "The pairing code expired or was already used. Create a new code on this computer.";

class HostAdmission : public HostFixture {
protected:
    // The single reply of a refused device, and its connection cancelled 0.2 s later.
    void expectRefused(TestDevice& device, const std::string& type, const std::string& text) {
        ASSERT_EQ(device.received.size(), 1u) << "one reply only";
        EXPECT_EQ(device.received[0].type, type);
        EXPECT_EQ(device.received[0].message, text);
        EXPECT_FALSE(device.closed) << "the reply gets time to arrive";
        advance(0.2);
        EXPECT_TRUE(device.closed);
    }
    std::string deviceRelayKey(const std::string& deviceID) const {
        return RelayEndpoint::rendezvous(
            RelayEndpoint::hostKey(*host->debugState().relaySecret, "device\n" + deviceID));
    }
};

TEST_F(HostAdmission, PairingRepliesPairedThenHelloAndSpendsTheInvitation) {
    vpnAddresses = {"100.64.0.1", "10.8.0.2"};
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA, "Ada's Phone");
    ASSERT_EQ(device->types(), (std::vector<std::string>{"paired", "hello"}));

    const auto& paired = device->received[0];
    EXPECT_EQ(paired.hostID, hostID());
    EXPECT_EQ(paired.name, "Studio");
    ASSERT_TRUE(paired.token.has_value());
    EXPECT_EQ(paired.token->size(), 43u);
    EXPECT_EQ(paired.relay, "relay.example.invalid:48700");
    EXPECT_EQ(paired.relayKey, deviceRelayKey(kDeviceA));

    const auto& hello = device->received[1];
    EXPECT_EQ(hello.hostID, hostID());
    EXPECT_EQ(hello.controlAllowed, false) << "no stream yet";
    EXPECT_EQ(hello.features, (std::vector<std::string>{"frameAck", "warmResume"}));
    EXPECT_EQ(hello.addresses, vpnAddresses);
    EXPECT_EQ(hello.relay, "relay.example.invalid:48700");
    EXPECT_EQ(hello.relayKey, deviceRelayKey(kDeviceA));

    EXPECT_FALSE(host->published().invitation.has_value()) << "single use";
    ASSERT_EQ(host->published().devices.size(), 1u);
    EXPECT_EQ(host->published().devices[0].id, kDeviceA);
    EXPECT_EQ(host->published().devices[0].tokenHash, SecureStore::hash(*paired.token));
    EXPECT_TRUE(host->debugState().registry->accepts(kDeviceA, *paired.token));
    EXPECT_EQ(host->published().activeDevice, "Ada's Phone");
    EXPECT_EQ(host->debugState().activeFeatures, (std::set<std::string>{"frameAck"}));
    EXPECT_EQ(host->published().status, "Connected to Ada's Phone");
    EXPECT_EQ(pendingCount(), 0u);
}

TEST_F(HostAdmission, WithoutRelayOrNameTheRepliesCarryNoRelayAndThisComputer) {
    settings->values["relayEnabled"] = false;
    computerName.reset();
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA);
    ASSERT_EQ(device->types(), (std::vector<std::string>{"paired", "hello"}));
    EXPECT_EQ(device->received[0].name, "This computer");
    for (const auto& message : device->received) {
        EXPECT_FALSE(message.relay.has_value());
        EXPECT_FALSE(message.relayKey.has_value());
    }
}

TEST_F(HostAdmission, RepeatedPairingWithinSixtySecondsGetsTheSameToken) {
    makeSharingHost();
    host->makeInvitation();
    const std::string secret = host->published().invitation->secret;
    auto first = connect();
    first->send(pairMessage(kDeviceA, secret));
    settle();
    auto token = first->receivedOf("paired").at(0).token;
    first->channel->cancel();  // the device never saw its reply
    settle();
    auto writes = secrets->writeCount();

    advance(30);
    auto again = connect();
    again->send(pairMessage(kDeviceA, secret));
    settle();
    ASSERT_EQ(again->receivedOf("paired").size(), 1u);
    EXPECT_EQ(again->receivedOf("paired")[0].token, token);
    EXPECT_EQ(secrets->writeCount(), writes) << "the registry is not touched";
    EXPECT_EQ(host->activeDeviceID(), kDeviceA);

    // Another device with the same secret: the invitation is used up.
    auto other = connect("100.64.0.1", "100.100.1.9");
    other->send(pairMessage(kDeviceB, secret));
    settle();
    expectRefused(*other, "authRejected", kCodeExpired);

    // Past 60 s the tick forgets the pairing and the secret no longer works.
    advance(31);
    EXPECT_FALSE(host->debugState().recentPairing.has_value());
    auto late = connect("100.64.0.1", "100.100.1.9");
    late->send(pairMessage(kDeviceA, secret));
    settle();
    expectRefused(*late, "authRejected", kCodeExpired);
}

TEST_F(HostAdmission, PairingRefusals) {
    makeSharingHost();
    struct Case {
        const char* note;
        void (*shape)(ControlMessage&);
        const char* expected;
    };
    const Case cases[] = {
        {"wrong secret", [](ControlMessage& m) { m.secret = std::string(43, 'x'); }, kCodeExpired},
        {"no secret", [](ControlMessage& m) { m.secret.reset(); }, kCodeExpired},
        {"device id not a UUID", [](ControlMessage& m) { m.deviceID = "abc"; }, kPairAgain},
        {"no device id", [](ControlMessage& m) { m.deviceID.reset(); }, kPairAgain},
        {"another host", [](ControlMessage& m) { m.hostID = kDeviceC; }, kPairAgain},
        {"no host id", [](ControlMessage& m) { m.hostID.reset(); }, kPairAgain},
        {"stream before admission", [](ControlMessage& m) { m.type = "stream"; }, kPairAgain},
    };
    host->makeInvitation();
    const auto invitation = host->published().invitation;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        auto device = connect();
        auto message = pairMessage(kDeviceA, invitation->secret);
        c.shape(message);
        device->send(message);
        settle();
        expectRefused(*device, "authRejected", c.expected);
        EXPECT_EQ(host->published().invitation, invitation) << "a failed pairing leaves it open";
        EXPECT_TRUE(host->published().devices.empty());
    }
}

TEST_F(HostAdmission, RefusalsAreReportedWithThePeerAndNoSecret) {
    makeSharingHost();
    std::vector<std::pair<std::string, std::string>> refusals;
    host->onRefusal = [&](const std::string& peer, const std::string& reason) {
        refusals.emplace_back(peer, reason);
    };
    host->makeInvitation();
    const std::string secret = host->published().invitation->secret;
    auto pairing = connect("100.64.0.1", "100.100.7.7");
    pairing->send(pairMessage(kDeviceA, std::string(43, 'x')));
    auto guessing = connect("100.64.0.1", "100.100.8.8");
    guessing->send(authenticateMessage(kDeviceB, std::string(43, 'A')));
    settle();
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(refusals[0], std::make_pair(std::string("100.100.7.7"), std::string(kCodeExpired)));
    EXPECT_EQ(refusals[1],
              std::make_pair(std::string("100.100.8.8"), std::string(kNoLongerTrusted)));
    for (const auto& [peer, reason] : refusals) EXPECT_EQ(reason.find(secret), std::string::npos);

    // An admitted device is no refusal.
    pairNewDevice(kDeviceC);
    EXPECT_EQ(refusals.size(), 2u);
}

TEST_F(HostAdmission, AnsweredConnectionGetsNoSecondTry) {
    makeSharingHost();
    pairNewDevice(kDeviceA)->channel->cancel();
    settle();
    auto guesser = connect();
    // Guesses sent back to back all arrive before the 0.2 s cancel.
    guesser->send(authenticateMessage(kDeviceA, std::string(43, 'A')));
    guesser->send(authenticateMessage(kDeviceA, std::string(43, 'B')));
    guesser->send(authenticateMessage(kDeviceA, tokenOf(kDeviceA)));
    settle();
    expectRefused(*guesser, "authRejected", kNoLongerTrusted);
    EXPECT_FALSE(host->debugState().activeID.has_value()) << "the right token came too late";
}

TEST_F(HostAdmission, PairingAfterExpiryIsRefusedEvenWithTheRightSecret) {
    makeSharingHost();
    advance(1);  // the invitation expires between two ticks
    host->makeInvitation();
    const std::string secret = host->published().invitation->secret;
    advance(300.5);
    ASSERT_TRUE(host->published().invitation.has_value()) << "the tick has not seen it yet";
    auto device = connect();
    device->send(pairMessage(kDeviceA, secret));
    settle();
    expectRefused(*device, "authRejected", kCodeExpired);
}

TEST_F(HostAdmission, DeviceLimitReachesThePairingDeviceAsError) {
    makeHost();
    {
        DeviceRegistry registry(SecureStore(secrets), queue, hostID(), false);
        for (int i = 0; i < 50; ++i) {
            char id[37];
            std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", i);
            registry.add(id, "Old " + std::to_string(i), SecureStore::randomToken());
        }
    }
    settings->values["hostEnabled"] = true;
    makeSharingHost();
    host->makeInvitation();
    auto invitation = host->published().invitation;
    auto device = connect();
    device->send(pairMessage(kDeviceA, invitation->secret));
    settle();
    expectRefused(*device, "error",
                  "The host has reached its device limit. Remove an old device first.");
    EXPECT_EQ(host->published().invitation, invitation);
    EXPECT_EQ(host->published().devices.size(), 50u);
}

TEST_F(HostAdmission, AuthenticationWithTheTokenOrRefused) {
    makeSharingHost();
    pairNewDevice(kDeviceA)->channel->cancel();
    settle();

    auto returning = authenticate(kDeviceA);
    EXPECT_EQ(returning->types(), (std::vector<std::string>{"hello"}));
    EXPECT_EQ(host->activeDeviceID(), kDeviceA);
    returning->channel->cancel();
    settle();

    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"wrong token", std::string(43, 'A')},
        {"no token", std::nullopt},
    };
    for (const auto& [note, token] : cases) {
        SCOPED_TRACE(note);
        auto device = connect();
        auto message = authenticateMessage(kDeviceA, "");
        message.token = token;
        device->send(message);
        settle();
        expectRefused(*device, "authRejected", kNoLongerTrusted);
    }
    auto unknown = connect();
    unknown->send(authenticateMessage(kDeviceB, tokenOf(kDeviceA)));
    settle();
    expectRefused(*unknown, "authRejected", kNoLongerTrusted);
}

TEST_F(HostAdmission, SecondDeviceIsToldTheHostIsBusy) {
    makeSharingHost();
    pairNewDevice(kDeviceB, "Ben's Tablet")->channel->cancel();
    settle();
    auto first = pairNewDevice(kDeviceA, "Ada's Phone");
    auto second = authenticate(kDeviceB);
    ASSERT_EQ(second->types(), (std::vector<std::string>{"busy"}));
    EXPECT_EQ(second->received[0].deviceName, "Ada's Phone");
    EXPECT_EQ(second->received[0].message, "This computer is in use by Ada's Phone.");
    advance(0.2);
    EXPECT_TRUE(second->closed);
    EXPECT_FALSE(first->closed);
    EXPECT_EQ(host->activeDeviceID(), kDeviceA);
    EXPECT_EQ(pendingCount(), 0u) << "the close removed it";
}

TEST_F(HostAdmission, TakeoverMovesTheSession) {
    makeSharingHost();
    pairNewDevice(kDeviceB, "Ben's Tablet")->channel->cancel();
    settle();
    auto first = pairNewDevice(kDeviceA, "Ada's Phone");
    auto second = authenticate(kDeviceB, /*takeover=*/true);
    EXPECT_EQ(second->types(), (std::vector<std::string>{"hello"}));
    ASSERT_EQ(first->receivedOf("takenOver").size(), 1u);
    const auto takenOver = first->receivedOf("takenOver")[0];
    EXPECT_EQ(takenOver.deviceName, "Ben's Tablet");
    EXPECT_EQ(takenOver.message, "Your session moved to Ben's Tablet.");
    advance(0.5);
    EXPECT_TRUE(first->closed);
    EXPECT_FALSE(second->closed);
    EXPECT_EQ(host->activeDeviceID(), kDeviceB);
    EXPECT_EQ(host->published().status, "Connected to Ben's Tablet");
}

TEST_F(HostAdmission, ReturningDeviceReplacesItsStaleSession) {
    makeSharingHost();
    auto old = pairNewDevice(kDeviceA);
    const auto stale = host->debugState().activeConnection;
    auto fresh = authenticate(kDeviceA);
    EXPECT_EQ(fresh->types(), (std::vector<std::string>{"hello"}));
    EXPECT_TRUE(old->closed);
    EXPECT_EQ(old->receivedOf("takenOver").size(), 0u);
    EXPECT_EQ(host->activeDeviceID(), kDeviceA);
    EXPECT_NE(host->debugState().activeConnection, stale) << "a new session";
}

TEST_F(HostAdmission, MessagesWithoutCredentialsAreIgnored) {
    secrets->failReads(3);
    makeHost();
    ASSERT_EQ(host->debugState().identity, nullptr);
    auto device = std::make_unique<TestDevice>(queue, queue);
    host->accept(device->hostEnd, "100.64.0.1");
    settle();
    auto message = ControlMessage::make("pair");
    message.deviceID = kDeviceA;
    message.secret = "x";
    device->send(message);
    settle();
    EXPECT_TRUE(device->received.empty());
    advance(10);
    EXPECT_TRUE(device->closed) << "the admission deadline still applies";
}

// ---- The session's connection ----

TEST_F(HostAdmission, PingIsAnsweredFromThePacerAndKeepsTheSessionAlive) {
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA);
    auto pacer = host->debugState().activeConnection->pacer;
    pacer->configure(true, 30, 4'000'000);
    for (int i = 0; i < 5; ++i) {
        advance(15);
        device->send(ControlMessage::make("ping"));
        settle();
    }
    auto pongs = device->receivedOf("pong");
    ASSERT_EQ(pongs.size(), 5u);
    auto stats = pacer->stats();
    EXPECT_GT(stats.bitrate, 0);
    EXPECT_EQ(pongs.back().bitrate, stats.bitrate);
    EXPECT_EQ(pongs.back().fps, stats.fps);
    EXPECT_EQ(host->activeDeviceID(), kDeviceA);
    EXPECT_FALSE(device->closed);
}

TEST_F(HostAdmission, SilentSessionEndsAfterTwentySeconds) {
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA);
    // Ticks run at multiples of 3 s; a message at 1 s puts one exactly 20 s after it.
    advance(1);
    device->send(ControlMessage::make("anything"));  // unknown types count as life too
    settle();
    advance(20);
    EXPECT_FALSE(device->closed) << "20 s exactly is not more than 20 s";
    advance(3);
    EXPECT_TRUE(device->closed);
    EXPECT_FALSE(host->debugState().activeID.has_value());
    EXPECT_EQ(host->published().status, "Ready on your private network");
}

TEST_F(HostAdmission, SessionEndsByDisconnectOrClose) {
    makeSharingHost();
    auto leaving = pairNewDevice(kDeviceA);
    leaving->send(ControlMessage::make("disconnect"));
    settle();
    EXPECT_TRUE(leaving->closed);
    EXPECT_FALSE(host->published().activeDevice.has_value());
    EXPECT_EQ(host->published().status, "Ready on your private network");

    auto dropping = authenticate(kDeviceA);
    ASSERT_EQ(host->activeDeviceID(), kDeviceA);
    dropping->channel->cancel();
    settle();
    EXPECT_FALSE(host->debugState().activeID.has_value());
    EXPECT_EQ(host->published().status, "Ready on your private network");
}

TEST_F(HostAdmission, ControlSettingIsSentToTheSession) {
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA);
    host->setControlEnabled(true);
    settle();
    ASSERT_EQ(device->receivedOf("permissions").size(), 1u);
    EXPECT_EQ(device->receivedOf("permissions")[0].controlAllowed, false)
        << "control needs a ready stream as well";
}

TEST_F(HostAdmission, InviteWithoutRemoteControlGetsANotice) {
    makeSharingHost();
    host->setControlEnabled(true);
    auto device = pairNewDevice(kDeviceA);
    device->send(ControlMessage::make("invite"));
    settle();
    ASSERT_EQ(device->receivedOf("notice").size(), 1u);
    EXPECT_EQ(device->receivedOf("notice")[0].message,
              "Allow remote control in Orvelo Host to pair another device from here.");
    EXPECT_FALSE(host->published().invitation.has_value());
}

}  // namespace
}  // namespace caldrovex::test
