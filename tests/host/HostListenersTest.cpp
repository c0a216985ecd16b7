// What the host says about its listeners: never "Ready" while nothing listens, why a listener
// could not start (through a real listener on a port that is taken), and when accepting
// pauses for want of descriptors.

#include <asio/ip/tcp.hpp>

#include "LoopbackHostFixture.h"

namespace caldrovex::test {
namespace {

using platform::net::NetError;
using platform::net::StateKind;

class HostListeners : public LoopbackHostFixture {};

TEST_F(HostListeners, StatusWaitsForAListenerAndNamesOneThatFailed) {
    settings->values = {{"hostEnabled", true}, {"relayEnabled", false}};
    makeHost();
    EXPECT_EQ(host->published().status, "Starting on your private network…");
    EXPECT_FALSE(host->published().running);

    listeners.live("100.64.0.1")
        ->reportState({StateKind::failed, NetError{"Cannot assign requested address"}});
    settle();
    EXPECT_EQ(host->published().status, "Cannot listen on 100.64.0.1");
    EXPECT_EQ(host->published().error,
              "Cannot listen on 100.64.0.1 port 48725: Cannot assign requested address.");
    EXPECT_FALSE(host->published().running);

    // The address refresh tries again; the failure stays shown meanwhile, and goes once the
    // new listener is ready.
    advance(9);
    auto retried = listeners.live("100.64.0.1");
    ASSERT_NE(retried, nullptr);
    EXPECT_EQ(host->published().status, "Cannot listen on 100.64.0.1");
    retried->reportState({StateKind::ready, std::nullopt});
    settle();
    EXPECT_EQ(host->published().status, "Ready on your private network");
    EXPECT_FALSE(host->published().error.has_value());
    EXPECT_TRUE(host->published().running);
}

TEST_F(HostListeners, OneFailedAddressLeavesTheOthersServedAndShown) {
    vpnAddresses = {"100.64.0.1", "10.8.0.2"};
    settings->values = {{"hostEnabled", true}, {"relayEnabled", false}};
    makeHost();
    listeners.live("100.64.0.1")->reportState({StateKind::ready, std::nullopt});
    listeners.live("10.8.0.2")->reportState({StateKind::failed, NetError{"Address in use"}});
    settle();
    EXPECT_EQ(host->published().status, "Ready on your private network");
    EXPECT_EQ(host->published().error, "Cannot listen on 10.8.0.2 port 48725: Address in use.");

    // The address goes away: so does its failure.
    vpnAddresses = {"100.64.0.1"};
    advance(9);
    EXPECT_FALSE(host->published().error.has_value());
}

TEST_F(HostListeners, RealListenerOnATakenPortSaysSoUntilThePortIsFree) {
    asio::io_context io;
    auto blocker = std::make_unique<asio::ip::tcp::acceptor>(
        io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    loopbackPort = blocker->local_endpoint().port();
    vpnAddresses = {"127.0.0.1"};
    settings->values = {{"hostEnabled", true}, {"relayEnabled", false}};
    host = HostModel::create(environment());
    ASSERT_TRUE(settleUntil("the failure", [&] { return host->published().error.has_value(); }));
    EXPECT_EQ(*host->published().error,
              "Cannot listen on 127.0.0.1 port 48725: " +
                  std::make_error_code(std::errc::address_in_use).message() + ".");
    EXPECT_EQ(host->published().status, "Cannot listen on 127.0.0.1");
    EXPECT_FALSE(host->published().running);

    blocker.reset();
    advance(9);  // the address refresh opens it again
    ASSERT_TRUE(settleUntil("the listener", [&] { return host->published().running; }));
    EXPECT_EQ(host->published().status, "Ready on your private network");
    EXPECT_FALSE(host->published().error.has_value());
    host->stop(false);
    settle();
}

// A flood pauses and resumes accepting many times a second: the notice comes at the first
// pause and goes only after accepting went on undisturbed for five seconds.
TEST_F(HostListeners, PausedAcceptingIsShownUntilItHasRunFreelyForAWhile) {
    makeSharingHost();
    const std::string notice =
        "Too many connections at once on 100.64.0.1: new ones wait until others close (Too "
        "many open files).";
    auto listener = listeners.live("100.64.0.1");
    listener->reportPause(NetError{"Too many open files"});
    settle();
    EXPECT_EQ(host->published().error, notice);
    EXPECT_EQ(host->published().status, "Ready on your private network") << "it still listens";

    listener->reportPause(std::nullopt);
    advance(3);
    listener->reportPause(NetError{"Too many open files"});
    listener->reportPause(std::nullopt);
    advance(4.9);
    EXPECT_EQ(host->published().error, notice) << "resumed less than 5 s ago";
    advance(0.1);
    EXPECT_FALSE(host->published().error.has_value());
}

TEST_F(HostListeners, AnotherErrorShownSinceStaysWhenThePauseEnds) {
    makeSharingHost();
    auto device = pairNewDevice(kDeviceA);
    auto listener = listeners.live("100.64.0.1");
    listener->reportPause(NetError{"Too many open files"});
    settle();
    secrets->failWrites(5);
    host->revoke(kDeviceA);  // the keyring refuses: its own error replaces the notice
    const auto keyringError = host->published().error;
    ASSERT_TRUE(keyringError.has_value());
    ASSERT_FALSE(keyringError->starts_with("Too many connections"));
    listener->reportPause(std::nullopt);
    advance(6);
    EXPECT_EQ(host->published().error, keyringError);
}

}  // namespace
}  // namespace caldrovex::test
