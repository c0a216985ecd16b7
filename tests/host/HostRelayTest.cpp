// The relay road as the host runs it: the bridge listener, the relay agent started behind it,
// the keys it registers, and the status that follows the agent's reports. The agent is the
// real one; its links run over in-memory streams to a relay the test plays (ScriptedRelay),
// all on virtual time.

#include <sys/stat.h>

#include "HostFixture.h"
#include "host/RelayControl.h"
#include "reach/RelayEndpoint.h"
#include "reach/RelayLink.h"
#include "trust/SecureStore.h"

namespace caldrovex::test {
namespace {

constexpr const char* kDeviceA = "AAAAAAAA-0000-0000-0000-000000000001";
constexpr const char* kReachable = "Ready · reachable anywhere with Orvelo Connect";
constexpr const char* kNoRoadError =
    "Connect a VPN such as Tailscale, or turn on Orvelo Connect, before pairing.";

class HostRelay : public HostFixture {
protected:
    // Sharing with the relay on and no VPN address: the relay is the only road.
    void startWithoutVpn() {
        vpnAddresses.clear();
        settings->values = {{"hostEnabled", true}, {"relayEnabled", true}};
        makeSharingHost();
    }

    std::string secret() const { return *host->debugState().relaySecret; }
    std::string deviceKey(const std::string& deviceID) const {
        return RelayEndpoint::hostKey(secret(), "device\n" + deviceID);
    }
    std::string requestFor(const std::vector<std::string>& keys) const {
        return RelayLink::requestLine(RelayLink::Role::host, keys);
    }

    // The relay answers "WAIT" on every open link.
    void relayAcceptsAll() {
        for (size_t index : relay->open()) relay->links[index]->send("WAIT\n");
        settle();
    }
    void relayHangsUpAll() {
        for (size_t index : relay->open()) relay->links[index]->hangUp();
        settle();
    }
};

TEST_F(HostRelay, WithoutVpnTheRelayCarriesPairingAndTheStatusFollowsTheAgent) {
    startWithoutVpn();
    ASSERT_NE(bridge(), nullptr);
    EXPECT_EQ(bridge()->parameters.requiredLocalEndpoint,
              (platform::net::Endpoint{platform::net::UnixPath{bridgePath.string()}}));
    EXPECT_TRUE(bridge()->parameters.tls.has_value()) << "the device's TLS ends at the bridge";
    EXPECT_TRUE(host->published().running) << "the bridge alone makes the host reachable";
    EXPECT_EQ(agentsMade, 1);
    EXPECT_EQ(host->published().relayStatus, RelayStatus::idle()) << "no keys yet";
    EXPECT_EQ(host->published().status, "Ready to pair a device");

    host->makeInvitation();
    ASSERT_TRUE(host->published().invitation.has_value()) << host->published().error.value_or("");
    const auto invitation = *host->published().invitation;
    EXPECT_EQ(invitation.address, "");
    EXPECT_EQ(invitation.relay, "relay.example.invalid:48700");
    const auto pairingKey = RelayEndpoint::pairingKey(secret(), invitation.secret);
    EXPECT_EQ(invitation.relayKey, RelayEndpoint::rendezvous(pairingKey));
    settle();
    EXPECT_EQ(openLinkRequests(),
              (std::vector<std::string>(RelayAgent::kIdleLinks, requestFor({pairingKey}))));
    EXPECT_EQ(host->published().status, "Connecting to Orvelo Connect…");

    relayAcceptsAll();
    EXPECT_EQ(host->published().relayStatus, RelayStatus::ready());
    EXPECT_EQ(host->published().status, kReachable);

    // A relayed device pairs; the keys become its own, then the recent pairing's, in order.
    auto device = connectRelayed();
    device->send(pairMessage(kDeviceA, invitation.secret));
    settle();
    ASSERT_EQ(device->types(), (std::vector<std::string>{"paired", "hello"}));
    EXPECT_EQ(device->received[0].relay, "relay.example.invalid:48700");
    EXPECT_EQ(device->received[0].relayKey, RelayEndpoint::rendezvous(deviceKey(kDeviceA)));
    const std::vector<std::string> keys{
        deviceKey(kDeviceA),
        RelayEndpoint::hostKey(secret(), "pairing\n" + SecureStore::hash(invitation.secret))};
    EXPECT_EQ(host->debugState().relayKeys, keys);
    EXPECT_EQ(openLinkRequests().back(), requestFor(keys));
}

TEST_F(HostRelay, AnUnreachableRelayIsReportedWithItsReasonAndRetriedOnTheBackOff) {
    startWithoutVpn();
    host->makeInvitation();
    settle();
    const size_t made = relay->links.size();
    relayHangsUpAll();
    EXPECT_EQ(host->published().relayStatus, RelayStatus::unreachable(RelayLink::kClosedMessage));
    EXPECT_EQ(host->published().status,
              std::string("Orvelo Connect is not reachable. ") + RelayLink::kClosedMessage);
    EXPECT_TRUE(relay->open().empty());

    advance(1);
    EXPECT_GT(relay->links.size(), made) << "the agent tries again after a second";
    relayAcceptsAll();
    EXPECT_EQ(host->published().status, kReachable);
}

TEST_F(HostRelay, KeyChangesInOneTurnReachTheAgentOnce) {
    startWithoutVpn();
    host->makeInvitation();
    settle();
    relayAcceptsAll();
    const size_t made = relay->links.size();

    // Three invitations in one turn of the main queue: one key update, with the last one's key.
    host->makeInvitation();
    host->makeInvitation();
    host->makeInvitation();
    EXPECT_TRUE(host->debugState().relay.keysScheduled);
    settle();
    const auto last = RelayEndpoint::pairingKey(secret(), host->published().invitation->secret);
    EXPECT_EQ(relay->links.size(), made + RelayAgent::kIdleLinks);
    EXPECT_EQ(relay->links.back()->received, requestFor({last}));
    EXPECT_EQ(host->published().relayStatus, RelayStatus::ready())
        << "the old links stay registered until new ones are accepted";
}

TEST_F(HostRelay, RevokingTheLastDeviceTakesItsKeyAway) {
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA);
    advance(120);  // the recent pairing and the invitation have both expired
    relayAcceptsAll();
    EXPECT_EQ(host->debugState().relayKeys, (std::vector<std::string>{deviceKey(kDeviceA)}));

    host->revoke(kDeviceA);
    settle();
    EXPECT_TRUE(host->debugState().relayKeys.empty());
    advance(RelayAgent::kRetireDelaySeconds);
    EXPECT_TRUE(relay->open().empty()) << "no link holds the revoked device's key";
    EXPECT_TRUE(device->closed);
    EXPECT_EQ(host->published().relayStatus, RelayStatus::idle());
}

TEST_F(HostRelay, TurningTheRelayOffStopsTheAgentAndTheDevicesHearOfNoRelay) {
    startWithoutVpn();
    host->makeInvitation();
    settle();
    relayAcceptsAll();
    host->setRelayEnabled(false);
    settle();
    EXPECT_EQ(host->debugState().relay.agent, nullptr);
    EXPECT_TRUE(relay->open().empty());
    EXPECT_EQ(host->published().relayStatus, RelayStatus::off());
    EXPECT_EQ(host->published().status, "Waiting for a VPN such as Tailscale");

    host->setRelayEnabled(true);
    settle();
    EXPECT_EQ(agentsMade, 2);
    EXPECT_EQ(host->published().status, "Connecting to Orvelo Connect…");
}

TEST_F(HostRelay, WithNoRelayConfiguredNothingWaitsAndTheReasonIsShown) {
    relayConfiguration = RelayConfiguration::resolve(std::nullopt, std::nullopt, "");
    const std::string reason = RelayConfiguration::kNotConfiguredMessage;

    // With a VPN: served there, devices are told of no relay, the relay's state says why.
    makeSharingHost();
    EXPECT_EQ(bridge(), nullptr);
    EXPECT_EQ(agentsMade, 0);
    EXPECT_EQ(host->published().relayStatus, RelayStatus::unreachable(reason));
    EXPECT_EQ(host->published().status, "Ready on your private network");
    auto device = pairNewDevice(kDeviceA);
    for (const auto& message : device->received) {
        EXPECT_FALSE(message.relay.has_value());
        EXPECT_FALSE(message.relayKey.has_value());
    }

    // Without one: not "connecting" forever, and no invitation, with the reason.
    host.reset();
    startWithoutVpn();
    EXPECT_EQ(host->published().status, "Orvelo Connect is not reachable. " + reason);
    host->makeInvitation();
    EXPECT_FALSE(host->published().invitation.has_value());
    EXPECT_EQ(host->published().error, std::string(kNoRoadError) + " " + reason);
}

TEST_F(HostRelay, ABridgeFolderOthersCanEnterKeepsTheRelayOff) {
    ASSERT_EQ(::chmod(bridgeFolder.c_str(), 0755), 0);
    startWithoutVpn();
    EXPECT_EQ(bridge(), nullptr);
    EXPECT_EQ(agentsMade, 0);
    EXPECT_EQ(host->published().relayStatus,
              RelayStatus::unreachable(RelayControl::kPrivateFolderMessage));
    EXPECT_EQ(host->published().error, RelayControl::kPrivateFolderMessage);
}

TEST_F(HostRelay, ABridgeThatFailsTakesTheAgentDownWithTheReason) {
    startWithoutVpn();
    ASSERT_NE(host->debugState().relay.agent, nullptr);
    bridge()->reportState(
        {platform::net::StateKind::failed, platform::net::NetError{"Address in use."}});
    settle();
    EXPECT_EQ(host->debugState().relay.agent, nullptr);
    EXPECT_EQ(host->published().relayStatus, RelayStatus::unreachable("Address in use."));
}

}  // namespace
}  // namespace caldrovex::test
