#include <gtest/gtest.h>

#include <string>

#include "reach/RelayEndpoint.h"
#include "trust/SecureStore.h"

using namespace caldrovex;

namespace {

bool isLowerHex64(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

const std::string kSecret = "relay-secret-for-tests";

TEST(RelayKeys, KnownAnswers) {
    const std::string deviceKey = RelayEndpoint::hostKey(kSecret, "device\nABC");
    EXPECT_EQ(deviceKey, "b531f3673ebc2cb8f84421cb416010cec21fa016d02666421d1e5cd9d8b6705f");
    EXPECT_EQ(RelayEndpoint::rendezvous(deviceKey),
              "7113dd5c283ed97b551ec184e786490d5d4e8d0abb02faec2cdba7f192fed6f4");
    EXPECT_EQ(RelayEndpoint::pairingKey(kSecret, "invite-secret"),
              "e275098ee45320580614570e42a3fd421cdd29b13641631c8d2bb420997970f4");
    // HMAC-SHA-256 with an empty key over an empty message.
    EXPECT_EQ(RelayEndpoint::hostKey("", ""),
              "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(RelayKeys, EveryOutputIs64LowerHexAlsoForEmptyInputs) {
    struct Case {
        std::string secret, text;
    };
    const Case cases[] = {{"", ""}, {"", "device\nX"}, {kSecret, ""}, {"s", "p"}};
    for (const auto& c : cases) {
        EXPECT_TRUE(isLowerHex64(RelayEndpoint::hostKey(c.secret, c.text))) << c.text;
        EXPECT_TRUE(isLowerHex64(RelayEndpoint::pairingKey(c.secret, c.text))) << c.text;
        EXPECT_TRUE(isLowerHex64(RelayEndpoint::rendezvous(c.text))) << c.text;
    }
}

TEST(RelayKeys, PairingKeyIsTheHostKeyOfTheHashedPairingSecret) {
    for (const std::string pairingSecret : {"", "invite-secret", "Zürich"}) {
        EXPECT_EQ(RelayEndpoint::pairingKey(kSecret, pairingSecret),
                  RelayEndpoint::hostKey(kSecret, "pairing\n" + SecureStore::hash(pairingSecret)));
    }
}

TEST(RelayKeys, SecretChangesEveryKeyAndDeviceIdOnlyItsOwn) {
    const std::string otherSecret = "another-relay-secret";
    for (const std::string purpose : {"device\nA", "device\nB", "pairing\nx"}) {
        const std::string key = RelayEndpoint::hostKey(kSecret, purpose);
        const std::string otherKey = RelayEndpoint::hostKey(otherSecret, purpose);
        EXPECT_NE(key, otherKey);
        EXPECT_NE(RelayEndpoint::rendezvous(key), RelayEndpoint::rendezvous(otherKey));
    }
    // Renaming device A leaves device B's pair as it was.
    const std::string keyB = RelayEndpoint::hostKey(kSecret, "device\nB");
    EXPECT_NE(RelayEndpoint::hostKey(kSecret, "device\nA"),
              RelayEndpoint::hostKey(kSecret, "device\nA2"));
    EXPECT_EQ(RelayEndpoint::hostKey(kSecret, "device\nB"), keyB);
}

TEST(RelayEndpoint, EqualExactlyWhenAllFieldsAre) {
    const RelayEndpoint base{"relay.example.invalid", 48700, std::nullopt};
    const RelayEndpoint pinned{"relay.example.invalid", 48700, std::string(64, 'a')};
    EXPECT_EQ(base, (RelayEndpoint{"relay.example.invalid", 48700, std::nullopt}));
    EXPECT_NE(base, pinned);
    EXPECT_NE(pinned, (RelayEndpoint{"relay.example.invalid", 48700, std::string(64, 'b')}));
    EXPECT_NE(base, (RelayEndpoint{"relay.example.invalid", 48701, std::nullopt}));
    EXPECT_NE(base, (RelayEndpoint{"other.example.invalid", 48700, std::nullopt}));
}

}  // namespace
