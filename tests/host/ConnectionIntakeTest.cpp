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

// Fills `pool` with connections named "<peer>#<n>" in the order given.
void fill(ConnectionIntake& intake, const std::string& pool,
          const std::vector<std::string>& peers) {
    int n = 0;
    for (const auto& peer : peers) {
        auto admitted = intake.admit(pool, from(peer), 0.0);
        ASSERT_TRUE(admitted && !admitted->displaced) << peer;
        intake.add(peer + "#" + std::to_string(n++), nullptr, {pool, peer});
    }
}

// A full pool of eight: a newcomer holding fewer places than the biggest holder takes the
// place of that holder's oldest connection; holding as many, it is refused.
TEST(ConnectionIntake, FullPoolNewcomerDisplacesTheBiggestHoldersOldest) {
    struct Case {
        const char* note;
        std::vector<std::string> pool;  // in order of arrival
        std::string newcomer;
        std::optional<std::string> displaced;  // nullopt: refused
    };
    const std::vector<std::string> twoHogs = {"10.0.0.2", "10.0.0.3", "10.0.0.2", "10.0.0.3",
                                              "10.0.0.2", "10.0.0.3", "10.0.0.2", "10.0.0.3"};
    const Case cases[] = {
        {"a device among two hosts of four: the older hog loses its oldest", twoHogs, "10.0.0.9",
         "10.0.0.2#0"},
        {"a host holding as many as the biggest holder: refused",
         {"10.0.0.2", "10.0.0.3", "10.0.0.2", "10.0.0.3", "10.0.0.2", "10.0.0.3", "10.0.1.1",
          "10.0.1.2"},
         "10.0.0.2",
         std::nullopt},
        {"eight hosts of one: the oldest goes",
         {"10.0.1.1", "10.0.1.2", "10.0.1.3", "10.0.1.4", "10.0.1.5", "10.0.1.6", "10.0.1.7",
          "10.0.1.8"},
         "10.0.0.9",
         "10.0.1.1#0"},
        {"the biggest holder is not the oldest",
         {"10.0.1.1", "10.0.0.3", "10.0.0.3", "10.0.0.3", "10.0.1.2", "10.0.1.3", "10.0.1.4",
          "10.0.1.5"},
         "10.0.1.1",
         "10.0.0.3#1"},
        {"a holder of one among holders of one: refused",
         {"10.0.1.1", "10.0.1.2", "10.0.1.3", "10.0.1.4", "10.0.1.5", "10.0.1.6", "10.0.1.7",
          "10.0.1.8"},
         "10.0.1.8",
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        ConnectionIntake intake;
        fill(intake, "10.0.0.1", c.pool);
        auto admitted = intake.admit("10.0.0.1", from(c.newcomer), 0.0);
        ASSERT_EQ(admitted.has_value(), c.displaced.has_value());
        if (admitted) {
            EXPECT_EQ(admitted->displaced, c.displaced);
        }
    }
}

TEST(ConnectionIntake, DisplacingNeverBendsThePerHostOrAttemptLimits) {
    ConnectionIntake intake;
    // 10.0.0.5 holds its four places on another listener: it may not take a fifth here.
    fill(intake, "10.0.0.7", {"10.0.0.5", "10.0.0.5", "10.0.0.5", "10.0.0.5"});
    fill(intake, "10.0.0.1", std::vector<std::string>(4, "10.0.0.2"));
    fill(intake, "10.0.0.1", std::vector<std::string>(4, "10.0.0.3"));
    EXPECT_FALSE(intake.admit("10.0.0.1", from("10.0.0.5"), 0.0));
    // 10.0.0.6 spent its attempts: refused, and nobody is displaced for it.
    for (int i = 0; i < ConnectionIntake::kMaxAttempts; ++i)
        ASSERT_TRUE(intake.admit("10.0.0.7", from("10.0.0.6"), 0.0));
    EXPECT_FALSE(intake.admit("10.0.0.1", from("10.0.0.6"), 0.0));
    EXPECT_EQ(intake.pendingPeers().size(), 12u);
}

TEST(ConnectionIntake, HeardAndOrderAreForgottenWithTheConnection) {
    ConnectionIntake intake;
    fill(intake, "10.0.0.1", {"10.0.0.2"});
    intake.markHeard("10.0.0.2#0");
    EXPECT_TRUE(intake.heard("10.0.0.2#0"));
    intake.remove("10.0.0.2#0");
    EXPECT_FALSE(intake.heard("10.0.0.2#0"));
    intake.markHeard("10.0.0.2#0");
    EXPECT_FALSE(intake.heard("10.0.0.2#0")) << "only pending connections are heard";
}

TEST(ConnectionIntake, RelayConnectionsAreNotCountedPerPeer) {
    ConnectionIntake intake;
    for (int i = 0; i < 40; ++i) EXPECT_EQ(intake.admit("relay", std::nullopt, 0.0)->peer, "relay");
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
