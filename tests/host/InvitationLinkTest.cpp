#include <gtest/gtest.h>

#include <chrono>

#include "host/InvitationLink.h"

using caldrovex::InvitationLink;
using caldrovex::PairingInvitation;

namespace {

PairingInvitation sample() {
    PairingInvitation invitation;
    invitation.hostID = "6F1C2E7A-9B0D-4C3E-8A21-5D4F3B2A1C0E";
    invitation.name = "Zoë’s Workbench";
    invitation.address = "100.101.102.103";
    invitation.port = 48725;
    invitation.certificateHash = std::string(64, 'a');
    invitation.secret = "q1w2e3r4t5y6u7i8o9p0-_AbCdEfGhIjKlMnOpQrStU";
    invitation.expiresAt = std::chrono::system_clock::time_point(std::chrono::seconds(1767225900));
    return invitation;
}

TEST(InvitationLink, RoundTripsEveryShapeOfInvitation) {
    struct Case {
        const char* note;
        void (*shape)(PairingInvitation&);
    };
    const Case cases[] = {
        {"one address, no relay", [](PairingInvitation&) {}},
        {"several addresses",
         [](PairingInvitation& i) {
             i.addresses = std::vector<std::string>{"100.1.1.1", "10.0.0.2"};
         }},
        {"relay only",
         [](PairingInvitation& i) {
             i.address = "";
             i.relay = "relay.example.invalid:48700";
             i.relayKey = std::string(64, 'f');
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        auto invitation = sample();
        c.shape(invitation);
        auto link = InvitationLink::make(invitation);
        ASSERT_TRUE(link.has_value());
        EXPECT_EQ(InvitationLink::read(*link), invitation);
        EXPECT_EQ(InvitationLink::qrPayload(invitation), link);
    }
}

TEST(InvitationLink, UsesOnlyTheUrlSafeAlphabetAfterTheFixedPrefix) {
    // Names of varying length move the Base64 padding and produce "+" and "/" in standard
    // Base64 somewhere among them; none of it may survive into the link.
    for (int length = 0; length < 12; ++length) {
        auto invitation = sample();
        invitation.name = std::string(static_cast<size_t>(length), '?') + "~~~>>>";
        auto link = InvitationLink::make(invitation);
        ASSERT_TRUE(link.has_value());
        ASSERT_TRUE(link->starts_with("orvelo://pair?data="));
        std::string data = link->substr(std::string("orvelo://pair?data=").size());
        EXPECT_EQ(data.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789-_"),
                  std::string::npos)
            << data;
        EXPECT_EQ(InvitationLink::read(*link), invitation);
    }
}

TEST(InvitationLink, RefusesAnythingButAWellFormedLink) {
    auto link = *InvitationLink::make(sample());
    std::string data = link.substr(std::string(InvitationLink::kPrefix).size());
    const std::pair<const char*, std::string> cases[] = {
        {"other scheme", "https://pair?data=" + data},
        {"extra query item", link + "&x=1"},
        {"standard Base64 characters", std::string(InvitationLink::kPrefix) + data + "=="},
        {"one character too many", link + "A"},
        {"not an invitation", std::string(InvitationLink::kPrefix) + "e30"},  // "{}"
        {"empty data", InvitationLink::kPrefix},
    };
    for (const auto& [note, text] : cases) {
        SCOPED_TRACE(note);
        EXPECT_EQ(InvitationLink::read(text), std::nullopt);
    }
}

TEST(InvitationLink, TextThatIsNotUtf8GivesNoLink) {
    auto invitation = sample();
    invitation.name = "\xff\xfe";
    EXPECT_EQ(InvitationLink::make(invitation), std::nullopt);
}

}  // namespace
