// Pairing invitations and revocation.

#include <chrono>

#include "HostFixture.h"
#include "host/InvitationLink.h"
#include "reach/RelayEndpoint.h"

namespace caldrovex::test {
namespace {

constexpr const char* kSharingOffError = "Turn on sharing before pairing a device.";
constexpr const char* kNoRoadError =
    "Connect a VPN such as Tailscale, or turn on Orvelo Connect, before pairing.";

class HostInvitations : public HostFixture {
protected:
    // Sharing and running, then the private addresses taken away: only the relay is left.
    void loseAllAddresses() {
        vpnAddresses.clear();
        advance(9);
        ASSERT_TRUE(host->published().addresses.empty());
        ASSERT_TRUE(host->published().running);
    }
};

TEST_F(HostInvitations, FieldsForOneSeveralAndNoAddressWithAndWithoutRelay) {
    struct Case {
        const char* note;
        std::vector<std::string> addresses;
        bool relay;
    };
    const Case cases[] = {
        {"one address, relay off", {"100.64.0.1"}, false},
        {"one address, relay on", {"100.64.0.1"}, true},
        {"several addresses, relay off", {"100.64.0.1", "10.8.0.2", "192.168.1.4"}, false},
        {"several addresses, relay on", {"100.64.0.1", "10.8.0.2"}, true},
        {"no address, relay on", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        vpnAddresses = {"100.64.0.1"};
        settings->values = {{"hostEnabled", true}, {"relayEnabled", c.relay}};
        makeSharingHost();
        vpnAddresses = c.addresses;
        advance(9);
        ASSERT_TRUE(host->published().running);

        auto issued = queue->wall();
        host->makeInvitation();
        ASSERT_TRUE(host->published().invitation.has_value());
        const auto& invitation = *host->published().invitation;
        EXPECT_EQ(invitation.version, 1);
        EXPECT_EQ(invitation.hostID, hostID());
        EXPECT_EQ(invitation.name, "Studio");
        EXPECT_EQ(invitation.address, c.addresses.empty() ? "" : c.addresses.front());
        EXPECT_EQ(invitation.port, 48725);
        EXPECT_EQ(invitation.certificateHash, host->debugState().identity->certificateHash());
        EXPECT_EQ(invitation.secret.size(), 43u);
        EXPECT_EQ(invitation.expiresAt, issued + std::chrono::seconds(300));
        if (c.addresses.size() > 1)
            EXPECT_EQ(invitation.addresses, c.addresses);
        else
            EXPECT_FALSE(invitation.addresses.has_value());
        if (c.relay) {
            EXPECT_EQ(invitation.relay, "relay.example.invalid:48700");
            EXPECT_EQ(invitation.relayKey,
                      RelayEndpoint::rendezvous(RelayEndpoint::pairingKey(
                          *host->debugState().relaySecret, invitation.secret)));
        } else {
            EXPECT_FALSE(invitation.relay.has_value());
            EXPECT_FALSE(invitation.relayKey.has_value());
        }
        EXPECT_FALSE(host->published().error.has_value()) << *host->published().error;
    }
}

TEST_F(HostInvitations, NoAddressAndNoRelayGivesTheVpnMessage) {
    settings->values["relayEnabled"] = false;
    makeSharingHost();
    loseAllAddresses();
    host->makeInvitation();
    EXPECT_FALSE(host->published().invitation.has_value());
    EXPECT_EQ(host->published().error, kNoRoadError);
}

TEST_F(HostInvitations, SharingMustRunFirst) {
    makeHost();
    host->makeInvitation();
    EXPECT_EQ(host->published().error, kSharingOffError);
    EXPECT_FALSE(host->published().invitation.has_value());

    // Started but no listener ready yet: still not running.
    host->start();
    host->makeInvitation();
    EXPECT_EQ(host->published().error, kSharingOffError);
    listenersReady();
    host->makeInvitation();
    EXPECT_TRUE(host->published().invitation.has_value());
    EXPECT_EQ(host->published().error, kSharingOffError) << "success does not clear the error";
}

TEST_F(HostInvitations, LinkOfThePublishedInvitationRoundTrips) {
    makeSharingHost();
    host->makeInvitation();
    auto link = InvitationLink::make(*host->published().invitation);
    ASSERT_TRUE(link.has_value());
    EXPECT_TRUE(link->starts_with("orvelo://pair?data="));
    EXPECT_EQ(link->find_first_of("+/=", 19), std::string::npos);
    EXPECT_EQ(InvitationLink::read(*link), host->published().invitation);
}

TEST_F(HostInvitations, NewInvitationVoidsTheEarlierSecret) {
    makeSharingHost();
    host->makeInvitation();
    const std::string first = host->published().invitation->secret;
    host->makeInvitation();
    const std::string second = host->published().invitation->secret;
    EXPECT_NE(first, second);

    auto stale = connect();
    stale->send(pairMessage(kDeviceA, first));
    settle();
    EXPECT_EQ(stale->types(), (std::vector<std::string>{"authRejected"}));

    auto current = connect();
    current->send(pairMessage(kDeviceA, second));
    settle();
    EXPECT_EQ(current->types(), (std::vector<std::string>{"paired", "hello"}));
}

TEST_F(HostInvitations, MakingAnInvitationForgetsTheRecentPairing) {
    makeSharingHost();
    pairNewDevice(kDeviceA);
    ASSERT_TRUE(host->debugState().recentPairing.has_value());
    host->makeInvitation();
    EXPECT_FALSE(host->debugState().recentPairing.has_value());
}

TEST_F(HostInvitations, CancelWithdrawsTheInvitationAndItsSecret) {
    makeSharingHost();
    host->makeInvitation();
    const std::string secret = host->published().invitation->secret;
    host->cancelInvitation();
    EXPECT_FALSE(host->published().invitation.has_value());
    auto device = connect();
    device->send(pairMessage(kDeviceA, secret));
    settle();
    EXPECT_EQ(device->types(), (std::vector<std::string>{"authRejected"}));
}

TEST_F(HostInvitations, TickClearsTheInvitationWhenItExpires) {
    makeSharingHost();
    host->makeInvitation();
    advance(297);
    EXPECT_TRUE(host->published().invitation.has_value());
    advance(3);  // the tick at 300 s: expiry is not later than now
    EXPECT_FALSE(host->published().invitation.has_value());
}

TEST_F(HostInvitations, StopClearsTheInvitationAndTheRecentPairing) {
    makeSharingHost();
    pairNewDevice(kDeviceA);
    host->makeInvitation();
    host->stop(false);
    EXPECT_FALSE(host->published().invitation.has_value());
    EXPECT_FALSE(host->debugState().recentPairing.has_value());
}

TEST_F(HostInvitations, RevokingTheActiveDeviceEndsItsSessionAtOnce) {
    makeSharingHost();
    pairNewDevice(kDeviceB, "Ben's Tablet")->channel->cancel();
    settle();
    auto device = pairNewDevice(kDeviceA, "Ada's Phone");
    host->revoke(kDeviceA);
    EXPECT_FALSE(host->debugState().activeID.has_value());
    EXPECT_FALSE(host->debugState().recentPairing.has_value());
    EXPECT_EQ(host->published().status, "Ready on your private network");
    ASSERT_EQ(host->published().devices.size(), 1u);
    EXPECT_EQ(host->published().devices[0].id, kDeviceB);
    settle();
    EXPECT_TRUE(device->closed);

    // Its token no longer opens a session.
    auto again = connect();
    again->send(authenticateMessage(kDeviceA, tokenOf(kDeviceA)));
    settle();
    EXPECT_EQ(again->types(), (std::vector<std::string>{"authRejected"}));
}

TEST_F(HostInvitations, RevokingAnUnknownDeviceRewritesTheRegistryOnly) {
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA);
    auto writes = secrets->writeCount();
    auto devices = host->published().devices;
    host->revoke(kDeviceC);
    EXPECT_EQ(secrets->writeCount(), writes + 1);
    EXPECT_EQ(host->published().devices, devices);
    EXPECT_EQ(host->activeDeviceID(), kDeviceA);
    EXPECT_TRUE(host->debugState().recentPairing.has_value());
}

TEST_F(HostInvitations, FailedRevocationShowsTheErrorAndKeepsTheDevice) {
    makeSharingHost();
    pairNewDevice(kDeviceA)->channel->cancel();
    settle();
    secrets->failWrites(9);
    host->revoke(kDeviceA);
    EXPECT_EQ(host->published().error, SecureStore::storageError(9).message());
    EXPECT_EQ(host->published().devices.size(), 1u);
}

}  // namespace
}  // namespace caldrovex::test
