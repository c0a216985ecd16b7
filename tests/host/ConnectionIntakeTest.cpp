#include <gtest/gtest.h>

#include "host/ConnectionIntake.h"

using caldrovex::ConnectionIntake;
using caldrovex::platform::net::Endpoint;
using caldrovex::platform::net::HostPort;
using caldrovex::platform::net::UnixPath;

namespace {

Endpoint from(const std::string& host) {
    return HostPort{host, 40000};
}

TEST(ConnectionIntake, PeerNameIsTheHostOrTheWholeEndpoint) {
    EXPECT_EQ(ConnectionIntake::peerName(from("100.64.0.9")), "100.64.0.9");
    EXPECT_EQ(ConnectionIntake::peerName(Endpoint(UnixPath{"/run/x.sock"})), "unix:/run/x.sock");
    EXPECT_EQ(ConnectionIntake::peerName(std::nullopt), "unknown");
}

// The attempt window: 30 attempts within 60 s, the 31st refused without touching the entry;
// a window older than 60 s restarts; entries are forgotten 120 s after their window began.
TEST(ConnectionIntake, AttemptWindowBoundaries) {
    ConnectionIntake intake;
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(intake.admit("10.0.0.1", from("10.9.9.9"), 0.0));
    EXPECT_FALSE(intake.admit("10.0.0.1", from("10.9.9.9"), 60.0)) << "exactly 60 s is inside";
    EXPECT_EQ(intake.attempts().at("10.9.9.9"), (ConnectionIntake::Attempts{0.0, 30}));
    // Another host is counted on its own.
    EXPECT_TRUE(intake.admit("10.0.0.1", from("10.9.9.8"), 60.0));

    EXPECT_TRUE(intake.admit("10.0.0.1", from("10.9.9.9"), 60.5)) << "window restarts";
    EXPECT_EQ(intake.attempts().at("10.9.9.9"), (ConnectionIntake::Attempts{60.5, 1}));

    intake.forgetOldAttempts(180.0);  // 10.9.9.8's window began at 60: exactly 120 s ago
    EXPECT_EQ(intake.attempts().count("10.9.9.8"), 0u);
    EXPECT_EQ(intake.attempts().count("10.9.9.9"), 1u);
}

TEST(ConnectionIntake, RelayConnectionsAreNotCountedPerPeer) {
    ConnectionIntake intake;
    for (int i = 0; i < 40; ++i) EXPECT_EQ(intake.admit("relay", std::nullopt, 0.0), "relay");
    EXPECT_TRUE(intake.attempts().empty());
}

TEST(ConnectionIntake, RemoveReportsWhetherItWasPending) {
    ConnectionIntake intake;
    intake.add("A", nullptr, {"10.0.0.1", "10.9.9.9"});
    EXPECT_TRUE(intake.contains("A"));
    intake.remove("A");
    EXPECT_FALSE(intake.contains("A"));
    EXPECT_TRUE(intake.pendingPeers().empty());
    EXPECT_EQ(intake.remove("A"), nullptr);
}

}  // namespace
