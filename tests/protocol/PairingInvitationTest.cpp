#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/PairingInvitation.h"
#include "protocol/ReferenceDate.h"

using caldrovex::PairingInvitation;
using caldrovex::ReferenceDate;
using namespace std::chrono_literals;

namespace {

PairingInvitation sample() {
    PairingInvitation invitation;
    invitation.hostID = "H1";
    invitation.name = "Desk";
    invitation.address = "100.64.0.2";
    invitation.port = 48725;
    invitation.certificateHash = "ab12";
    invitation.secret = "s";
    invitation.expiresAt = ReferenceDate::origin();
    return invitation;
}

}  // namespace

TEST(PairingInvitationJson, OptionalKeysAreLeftOutAndTheReferenceDateIsZero) {
    EXPECT_EQ(sample().encode(),
              R"({"version":1,"hostID":"H1","name":"Desk","address":"100.64.0.2","port":48725,)"
              R"("certificateHash":"ab12","secret":"s","expiresAt":0})");
}

TEST(PairingInvitationJson, RoundTripsWithEveryField) {
    PairingInvitation invitation = sample();
    invitation.expiresAt = ReferenceDate::origin() + 800'000'000s + 250ms;
    invitation.addresses = std::vector<std::string>{"100.64.0.2", "192.168.1.5"};
    invitation.relay = "relay.example.invalid:443";
    invitation.relayKey = "rk";
    std::string json = invitation.encode();
    EXPECT_NE(json.find(R"("expiresAt":800000000.25)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("relay":"relay.example.invalid:443","relayKey":"rk")"),
              std::string::npos);
    EXPECT_EQ(PairingInvitation::decode(json), invitation);
}

TEST(PairingInvitationJson, DatesAreSecondsSinceTwoThousandOne) {
    // 2026-01-01 00:00:00 UTC is 1767225600 Unix seconds.
    PairingInvitation invitation = sample();
    invitation.expiresAt = std::chrono::system_clock::time_point(1'767'225'600s);
    EXPECT_NE(invitation.encode().find(R"("expiresAt":788918400)"), std::string::npos);
    // Dates before the reference date are negative.
    auto decoded = PairingInvitation::decode(
        R"({"version":1,"hostID":"H","name":"n","address":"a","port":1,"certificateHash":"c","secret":"s","expiresAt":-0.5})");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->expiresAt, ReferenceDate::origin() - 500ms);
}

TEST(PairingInvitationJson, EachRequiredKeyIsRequired) {
    const auto full = nlohmann::json::parse(sample().encode());
    for (const char* key : {"version", "hostID", "name", "address", "port", "certificateHash",
                            "secret", "expiresAt"}) {
        SCOPED_TRACE(key);
        auto missing = full;
        missing.erase(key);
        EXPECT_FALSE(PairingInvitation::decode(missing.dump()));
        auto null = full;
        null[key] = nullptr;
        EXPECT_FALSE(PairingInvitation::decode(null.dump()));
    }
}

TEST(PairingInvitationJson, UndecodableValues) {
    const auto full = nlohmann::json::parse(sample().encode());
    struct Case {
        const char* key;
        nlohmann::json value;
    };
    const Case cases[] = {
        {"port", 65536},      {"port", -1},
        {"port", "48725"},    {"expiresAt", "now"},
        {"expiresAt", 1e300}, {"version", 1.5},
        {"secret", 5},        {"addresses", "a"},
        {"relay", false},     {"relayKey", nlohmann::json::array()},
    };
    for (const auto& c : cases) {
        auto changed = full;
        changed[c.key] = c.value;
        SCOPED_TRACE(changed.dump());
        EXPECT_FALSE(PairingInvitation::decode(changed.dump()));
    }
    // The document and nothing after it.
    EXPECT_FALSE(PairingInvitation::decode(full.dump() + '\0' + "junk"));
    EXPECT_FALSE(PairingInvitation::decode(full.dump() + " {}"));
}

TEST(PairingInvitationJson, NullOptionalsAreAbsentAndUnknownKeysIgnored) {
    auto json = nlohmann::json::parse(sample().encode());
    json["relay"] = nullptr;
    json["addresses"] = nullptr;
    json["futureKey"] = {1, 2};
    EXPECT_EQ(PairingInvitation::decode(json.dump()), sample());
}
