// Creation, credentials, start and stop, listeners, the tick and the status sentence.

#include <algorithm>
#include <variant>

#include "HostFixture.h"
#include "trust/SecureStore.h"

namespace caldrovex::test {
namespace {

using platform::net::StateKind;

class HostLifecycle : public HostFixture {};

TEST_F(HostLifecycle, CreationReadsSettingsWithTheirDefaults) {
    makeHost();
    const auto& p = host->published();
    EXPECT_TRUE(p.relayEnabled) << "never written means on";
    EXPECT_FALSE(p.localNetworkEnabled);
    EXPECT_FALSE(p.controlEnabled);
    EXPECT_FALSE(p.curtainEnabled);
    EXPECT_FALSE(p.running);
    EXPECT_EQ(p.status, "Sharing is off");
    EXPECT_EQ(p.relayStatus, RelayStatus::off());
    EXPECT_FALSE(host->sharing()) << "hostEnabled never written";
    EXPECT_TRUE(listeners.made.empty());

    settings->values = {{"relayEnabled", false},
                        {"localNetworkEnabled", true},
                        {"controlEnabled", true},
                        {"curtainEnabled", true}};
    makeHost();
    EXPECT_FALSE(host->published().relayEnabled);
    EXPECT_TRUE(host->published().localNetworkEnabled);
    EXPECT_TRUE(host->published().controlEnabled);
    EXPECT_TRUE(host->published().curtainEnabled);
}

TEST_F(HostLifecycle, CredentialsIncludeARelaySecretMadeOnceAndKept) {
    makeHost();
    ASSERT_NE(host->debugState().identity, nullptr);
    ASSERT_NE(host->debugState().registry, nullptr);
    EXPECT_FALSE(host->published().error.has_value());
    const std::string account = "relay-secret-" + hostID();
    auto secret = host->debugState().relaySecret;
    ASSERT_TRUE(secret.has_value());
    EXPECT_EQ(secret->size(), 43u);
    EXPECT_EQ(secrets->peek(account), secret);

    makeHost();
    EXPECT_EQ(host->debugState().relaySecret, secret) << "a stored secret is reused";
}

TEST_F(HostLifecycle, UnusableStoredRelaySecretIsReplaced) {
    makeHost();
    const std::string account = "relay-secret-" + hostID();
    for (const std::string& stored : {std::string("\xff\xfe not text"), std::string()}) {
        secrets->put(account, stored);
        makeHost();
        ASSERT_TRUE(host->debugState().relaySecret.has_value());
        EXPECT_EQ(host->debugState().relaySecret->size(), 43u);
        EXPECT_EQ(secrets->peek(account), host->debugState().relaySecret);
    }
}

TEST_F(HostLifecycle, FailedLoadShowsTheErrorAndSharingWaitsForARetry) {
    settings->values["hostEnabled"] = true;
    secrets->lock(/*unlocksWhenPrompted=*/true);
    makeHost();
    EXPECT_EQ(host->debugState().identity, nullptr);
    ASSERT_TRUE(host->published().error.has_value());
    EXPECT_NE(host->published().error->find("Secure credential storage is unavailable"),
              std::string::npos);
    EXPECT_FALSE(host->sharing());
    advance(3);
    EXPECT_FALSE(host->sharing()) << "no identity, no start";

    // The panel's retry may prompt; the keyring opens, and the next tick starts sharing.
    host->loadCredentials(true);
    EXPECT_NE(host->debugState().identity, nullptr);
    EXPECT_FALSE(host->published().error.has_value());
    EXPECT_FALSE(host->sharing());
    advance(3);
    EXPECT_TRUE(host->sharing());
}

TEST_F(HostLifecycle, AKeyringThatComesUpLaterIsPickedUpByTheTick) {
    settings->values["hostEnabled"] = true;
    secrets->failReads(1);  // no keyring service yet
    makeHost();
    EXPECT_FALSE(host->credentialsLoaded());
    EXPECT_TRUE(host->published().error.has_value());
    advance(3);
    EXPECT_FALSE(host->sharing());

    secrets->failReads(std::nullopt);  // the desktop's keyring started
    advance(3);
    EXPECT_TRUE(host->credentialsLoaded());
    EXPECT_FALSE(host->published().error.has_value());
    EXPECT_TRUE(host->sharing());
}

TEST_F(HostLifecycle, FailedRelaySecretEndsTheLoad) {
    makeHost();
    const auto identity = host->debugState().identity;
    // The identity and registry read fine, but the missing relay secret cannot be stored.
    secrets->failWrites(7);
    secrets->put("relay-secret-" + hostID(), "");
    host->loadCredentials(false);
    EXPECT_EQ(host->published().error, SecureStore::storageError(7).message());
    EXPECT_EQ(host->debugState().identity, identity) << "the earlier credentials stay";
}

TEST_F(HostLifecycle, StartOpensOneListenerPerAddressWithTlsParameters) {
    vpnAddresses = {"100.64.0.1", "10.8.0.2"};
    settings->values["hostEnabled"] = true;
    makeHost();
    EXPECT_TRUE(host->sharing());
    EXPECT_EQ(host->published().addresses, vpnAddresses);
    ASSERT_EQ(listeners.liveListeners().size(), 3u) << "one per address, and the relay bridge";
    for (const auto& address : vpnAddresses) {
        SCOPED_TRACE(address);
        auto listener = listeners.live(address);
        ASSERT_NE(listener, nullptr);
        EXPECT_TRUE(listener->started);
        EXPECT_NE(
            std::find(queueLabels.begin(), queueLabels.end(), "caldrovex.listener." + address),
            queueLabels.end());
        const auto& parameters = listener->parameters;
        EXPECT_EQ(parameters.requiredLocalEndpoint,
                  (platform::net::Endpoint{platform::net::HostPort{address, 48725}}));
        ASSERT_TRUE(parameters.tls.has_value());
        ASSERT_TRUE(parameters.tls->identity.has_value());
        EXPECT_EQ(parameters.tls->identity->certificatePem,
                  host->debugState().identity->identity().certificatePem);
        EXPECT_FALSE(parameters.tls->verify) << "devices prove themselves by token or secret";
        EXPECT_TRUE(parameters.tcp.noDelay);
        EXPECT_TRUE(parameters.tcp.enableKeepalive);
    }
    EXPECT_FALSE(host->published().running) << "running waits for a listener's ready";
    listenersReady();
    EXPECT_TRUE(host->published().running);
    EXPECT_EQ(host->published().status, "Ready on your private network");
}

TEST_F(HostLifecycle, ExplicitAddressesComeFirstAndAreServed) {
    vpnAddresses = {"100.64.0.1", "127.0.0.1"};
    makeHost();
    host->setExplicitAddresses({"127.0.0.1"});
    EXPECT_TRUE(listeners.made.empty()) << "only applied while sharing";
    host->start();
    EXPECT_EQ(host->published().addresses, (std::vector<std::string>{"127.0.0.1", "100.64.0.1"}));
    EXPECT_NE(listeners.live("127.0.0.1"), nullptr);
}

TEST_F(HostLifecycle, StopWithAndWithoutTheIntent) {
    makeSharingHost();
    EXPECT_EQ(settings->values["hostEnabled"], true);

    // Kept intent: sharing comes back with the next tick.
    host->stop(true);
    EXPECT_FALSE(host->sharing());
    EXPECT_FALSE(host->published().running);
    EXPECT_TRUE(host->published().addresses.empty());
    EXPECT_EQ(host->published().status, "Sharing is off");
    EXPECT_TRUE(listeners.liveListeners().empty());
    EXPECT_EQ(settings->values["hostEnabled"], true);
    advance(3);
    EXPECT_TRUE(host->sharing());
    EXPECT_EQ(listeners.liveListeners().size(), 2u) << "the address's, and the relay bridge";

    // The user's stop: no tick restarts it.
    host->stop(false);
    EXPECT_EQ(settings->values["hostEnabled"], false);
    advance(30);
    EXPECT_FALSE(host->sharing());
}

TEST_F(HostLifecycle, StopCancelsPendingConnectionsAndTheSession) {
    makeSharingHost();
    auto inSession = pairNewDevice(kDeviceA);
    auto waiting = connect();
    ASSERT_EQ(pendingCount(), 1u);
    host->stop(false);
    settle();
    EXPECT_TRUE(inSession->closed);
    EXPECT_TRUE(waiting->closed);
    EXPECT_EQ(pendingCount(), 0u);
    EXPECT_FALSE(host->debugState().activeID.has_value());
    EXPECT_FALSE(host->published().activeDevice.has_value());
    EXPECT_EQ(host->published().status, "Sharing is off");
}

TEST_F(HostLifecycle, FailingListenerIsDroppedAndReopenedByTheAddressRefresh) {
    vpnAddresses = {"100.64.0.1", "10.8.0.2"};
    makeSharingHost();
    auto first = listeners.live("10.8.0.2");
    first->reportState({StateKind::failed, platform::net::NetError{"Address in use"}});
    settle();
    EXPECT_TRUE(first->cancelled);
    EXPECT_EQ(host->debugState().listeners.count("10.8.0.2"), 0u);
    EXPECT_NE(listeners.live("100.64.0.1"), nullptr) << "the other address is still served";

    // The refresh runs on a tick more than 6 s after the last one.
    advance(9);
    auto second = listeners.live("10.8.0.2");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);

    // A stale report of the old listener changes nothing.
    first->reportState({StateKind::waiting, platform::net::NetError{"late"}});
    settle();
    EXPECT_EQ(host->debugState().listeners.at("10.8.0.2"), second);
}

TEST_F(HostLifecycle, ListenerThatCannotBeMadeShowsTheError) {
    listeners.failure = "Could not bind.";
    settings->values["hostEnabled"] = true;
    makeHost();
    EXPECT_TRUE(host->sharing());
    EXPECT_EQ(host->published().error, "Could not bind.");
    EXPECT_TRUE(host->debugState().listeners.empty());
}

TEST_F(HostLifecycle, AddressChangesFollowTheRefreshAndTheLocalSetting) {
    makeSharingHost();
    vpnAddresses = {"100.64.0.7"};
    localAddresses = {"192.168.1.20"};
    advance(9);
    EXPECT_EQ(host->published().addresses, (std::vector<std::string>{"100.64.0.7"}));
    EXPECT_EQ(listeners.live("100.64.0.1"), nullptr);
    EXPECT_NE(listeners.live("100.64.0.7"), nullptr);

    host->setLocalNetworkEnabled(true);
    EXPECT_EQ(settings->values["localNetworkEnabled"], true);
    EXPECT_EQ(host->published().addresses,
              (std::vector<std::string>{"100.64.0.7", "192.168.1.20"}));
    EXPECT_NE(listeners.live("192.168.1.20"), nullptr);
}

TEST_F(HostLifecycle, AddressRefreshRunsOnTheFirstTickMoreThanSixSecondsAfterTheLast) {
    makeSharingHost();
    advance(3);  // the first tick refreshes: the last refresh lies in the distant past
    vpnAddresses = {"100.64.0.9"};
    advance(6);  // ticks at 6 s and 9 s: 3 s and 6 s after it, not more than 6
    EXPECT_EQ(host->published().addresses, (std::vector<std::string>{"100.64.0.1"}));
    advance(3);
    EXPECT_EQ(host->published().addresses, (std::vector<std::string>{"100.64.0.9"}));
}

TEST_F(HostLifecycle, TickFollowsThePermissions) {
    permissions->screen = false;
    permissions->injection = false;
    makeHost();
    EXPECT_FALSE(host->published().screenPermission);
    permissions->screen = true;
    permissions->injection = true;
    advance(2.9);
    EXPECT_FALSE(host->published().screenPermission);
    int before = changes;
    advance(0.1);
    EXPECT_TRUE(host->published().screenPermission);
    EXPECT_TRUE(host->published().accessibilityPermission);
    EXPECT_EQ(changes, before + 1) << "one notification for one tick";
    advance(3);
    EXPECT_EQ(changes, before + 1) << "nothing changed, nothing told";
}

TEST_F(HostLifecycle, EveryStatusSentence) {
    struct Case {
        const char* expected;
        bool addresses;
        bool relayEnabled;
        RelayStatus relay;
    };
    const Case cases[] = {
        {"Ready · private network and Orvelo Connect", true, true, RelayStatus::ready()},
        {"Ready on your private network", true, true, RelayStatus::connecting()},
        {"Ready on your private network", true, false, RelayStatus::off()},
        {"Ready · reachable anywhere with Orvelo Connect", false, true, RelayStatus::ready()},
        {"Ready to pair a device", false, true, RelayStatus::idle()},
        {"Connecting to Orvelo Connect…", false, true, RelayStatus::connecting()},
        {"Orvelo Connect is not reachable. No route.", false, true,
         RelayStatus::unreachable("No route.")},
        {"Connecting to Orvelo Connect…", false, true, RelayStatus::off()},
        {"Waiting for a VPN such as Tailscale", false, false, RelayStatus::off()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        vpnAddresses =
            c.addresses ? std::vector<std::string>{"100.64.0.1"} : std::vector<std::string>{};
        settings->values = {{"hostEnabled", true}, {"relayEnabled", c.relayEnabled}};
        makeHost();
        listenersReady();
        host->relayStatusChanged(c.relay);
        EXPECT_EQ(host->published().status, c.expected);
    }
}

TEST_F(HostLifecycle, StatusNamesTheDeviceInSessionAndIsLeftAloneWhileOff) {
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA, "Ada's Phone");
    EXPECT_EQ(host->published().status, "Connected to Ada's Phone");
    host->relayStatusChanged(RelayStatus::ready());
    EXPECT_EQ(host->published().status, "Connected to Ada's Phone");
    host->stop(false);
    host->updateStatus();
    EXPECT_EQ(host->published().status, "Sharing is off");
}

TEST_F(HostLifecycle, SettingsAreStored) {
    makeHost();
    host->setRelayEnabled(false);
    host->setControlEnabled(true);
    host->setCurtainEnabled(true);
    EXPECT_EQ(settings->values,
              (std::map<std::string, bool>{
                  {"relayEnabled", false}, {"controlEnabled", true}, {"curtainEnabled", true}}));
    EXPECT_FALSE(host->published().relayEnabled);
    EXPECT_TRUE(host->published().controlEnabled);
    EXPECT_TRUE(host->published().curtainEnabled);
    EXPECT_EQ(host->published().relayStatus, RelayStatus::off()) << "sharing is off";
}

TEST_F(HostLifecycle, ControlForThisRunOnlyIsShownAsNotSaved) {
    settings->values["controlEnabled"] = false;
    makeHost();
    EXPECT_TRUE(host->published().controlSaved);
    host->setControlEnabled(true, false);
    EXPECT_TRUE(host->published().controlEnabled);
    EXPECT_FALSE(host->published().controlSaved);
    EXPECT_EQ(settings->values.at("controlEnabled"), false) << "the stored setting is untouched";
    // Turning it back to the stored value by hand makes it saved again.
    host->setControlEnabled(false);
    EXPECT_TRUE(host->published().controlSaved);
    host->setControlEnabled(true);
    EXPECT_TRUE(host->published().controlSaved);
    EXPECT_EQ(settings->values.at("controlEnabled"), true);
}

TEST_F(HostLifecycle, LoginSwitchFollowsTheLoginItemOrShowsItsFailure) {
    bool registered = false;
    std::optional<std::string> failure;
    auto env = environment();
    env.loginItemEnabled = [&] { return registered; };
    env.setLoginItem = [&](bool enabled) {
        if (failure) throw CaldrovexError(*failure);
        registered = enabled;
    };
    host = HostModel::create(std::move(env));
    EXPECT_FALSE(host->published().loginEnabled);
    host->setLogin(true);
    EXPECT_TRUE(host->published().loginEnabled);
    EXPECT_FALSE(host->published().error.has_value());

    failure = "The login entry could not be removed.";
    host->setLogin(false);
    EXPECT_TRUE(host->published().loginEnabled) << "the switch stays as it was";
    EXPECT_EQ(host->published().error, failure);
}

}  // namespace
}  // namespace caldrovex::test
