#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/ManualQueue.h"
#include "trust/DeviceRegistry.h"
#include "trust/MemorySecretBackend.h"

using namespace caldrovex;
using Json = nlohmann::json;

namespace {

const std::string kHostId = "6F1C2B1E-0C55-4B8E-9F55-0D3A54A7C001";
const std::string kAccount = "host-devices-" + kHostId;
const std::string kLimitMessage =
    "The host has reached its device limit. Remove an old device first.";
const std::string kDamagedMessage =
    "The list of trusted devices in the keyring is damaged and could not be read.";

std::string storageMessage(int status) {
    return "Secure credential storage is unavailable (" + std::to_string(status) +
           "). Unlock your device or login keyring and try again.";
}

// The ManualQueue's wall clock starts at 2026-01-01T00:00:00Z: 788918400 s after 2001.
constexpr double kStartSinceReferenceDate = 788918400.0;

platform::Clock::WallTime unixSeconds(double seconds) {
    using namespace std::chrono;
    return platform::Clock::WallTime(round<system_clock::duration>(duration<double>(seconds)));
}

template <typename Action>
std::string errorOf(Action action) {
    try {
        action();
    } catch (const CaldrovexError& error) {
        return error.what();
    }
    return {};
}

class DeviceRegistryTest : public testing::Test {
protected:
    std::shared_ptr<MemorySecretBackend> backend = std::make_shared<MemorySecretBackend>();
    std::shared_ptr<platform::ManualQueue> clock = std::make_shared<platform::ManualQueue>();
    SecureStore store{backend};

    std::unique_ptr<DeviceRegistry> open(bool allowInteraction = false) {
        return std::make_unique<DeviceRegistry>(store, clock, kHostId, allowInteraction);
    }

    Json stored() const { return Json::parse(backend->peek(kAccount).value()); }

    static std::vector<std::string> ids(const DeviceRegistry& registry) {
        std::vector<std::string> result;
        for (const auto& device : registry.devices()) result.push_back(device.id);
        return result;
    }
};

TEST_F(DeviceRegistryTest, NoItemGivesEmptyListAndFirstPairingCreatesIt) {
    auto registry = open();
    EXPECT_EQ(registry->account(), kAccount);
    EXPECT_TRUE(registry->devices().empty());
    EXPECT_EQ(backend->writeCount(), 0);

    clock->advance(1.5);
    registry->add("device-1", "Anna's phone", "token-1");

    const Json list = stored();
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 1u);
    // Exactly the four keys, the token only as its hash, the date as seconds since 2001.
    EXPECT_EQ(list[0], (Json{{"id", "device-1"},
                             {"name", "Anna's phone"},
                             {"tokenHash", SecureStore::hash("token-1")},
                             {"pairedAt", kStartSinceReferenceDate + 1.5}}));
    EXPECT_EQ(registry->devices().front().pairedAt, clock->wall());
}

TEST_F(DeviceRegistryTest, ReopeningReadsBackTheSameList) {
    auto registry = open();
    registry->add("device-1", "Phone", "token-1");
    clock->advance(0.25);
    registry->add("device-2", "Tablet", "token-2");

    auto reopened = open();
    EXPECT_EQ(reopened->devices(), registry->devices());
    EXPECT_TRUE(reopened->accepts("device-2", "token-2"));
}

TEST_F(DeviceRegistryTest, ReadsListsWrittenEarlierWhateverTheKeyOrderAndExtraKeys) {
    backend->put(kAccount, R"([
        {"pairedAt": 0, "tokenHash": "aa", "name": "Old", "id": "first", "note": "ignored"},
        {"id": "second", "name": "Newer", "tokenHash": "bb", "pairedAt": 788918400.5}
    ])");
    auto registry = open();
    ASSERT_EQ(ids(*registry), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(registry->devices()[0].pairedAt, unixSeconds(978307200.0));  // 2001-01-01
    EXPECT_EQ(registry->devices()[1].pairedAt, unixSeconds(1767225600.5));
    EXPECT_EQ(registry->devices()[1].tokenHash, "bb");
}

TEST_F(DeviceRegistryTest, RepairingMovesTheDeviceToTheEndWithItsNewDetails) {
    auto registry = open();
    registry->add("A", "Phone", "token-a");
    registry->add("B", "Tablet", "token-b");
    clock->advance(60);
    registry->add("A", "Phone (new)", "token-a2");

    ASSERT_EQ(ids(*registry), (std::vector<std::string>{"B", "A"}));
    const TrustedDevice& repaired = registry->devices().back();
    EXPECT_EQ(repaired.name, "Phone (new)");
    EXPECT_EQ(repaired.tokenHash, SecureStore::hash("token-a2"));
    EXPECT_EQ(repaired.pairedAt, clock->wall());
    EXPECT_FALSE(registry->accepts("A", "token-a"));
    EXPECT_TRUE(registry->accepts("A", "token-a2"));
    EXPECT_EQ(stored().size(), 2u);
}

TEST_F(DeviceRegistryTest, FiftyDevicesFitAndOnlyRepairingIsAllowedAtTheLimit) {
    auto registry = open();
    for (int i = 0; i < 50; ++i) {
        registry->add("device-" + std::to_string(i), "Device", "token");
    }
    ASSERT_EQ(registry->devices().size(), DeviceRegistry::kDeviceLimit);
    const auto before = registry->devices();
    const auto storedBefore = backend->peek(kAccount);
    const int writesBefore = backend->writeCount();

    EXPECT_EQ(errorOf([&] { registry->add("device-50", "One too many", "token"); }), kLimitMessage);
    EXPECT_EQ(registry->devices(), before);
    EXPECT_EQ(backend->peek(kAccount), storedBefore);
    EXPECT_EQ(backend->writeCount(), writesBefore);  // refused before touching the keyring

    registry->add("device-7", "Re-paired", "new-token");
    EXPECT_EQ(registry->devices().size(), 50u);
    EXPECT_EQ(ids(*registry).back(), "device-7");

    // Revoking one makes room again.
    registry->revoke("device-0");
    registry->add("device-50", "Now it fits", "token");
    EXPECT_EQ(registry->devices().size(), 50u);
}

TEST_F(DeviceRegistryTest, AcceptsOnlyAKnownIdWithItsOwnToken) {
    auto registry = open();
    registry->add("device-1", "Phone", "correct-token");
    registry->add("device-2", "Tablet", "");

    struct Case {
        std::string id, token;
        bool accepted;
        const char* why;
    };
    const Case cases[] = {
        {"device-1", "correct-token", true, "the token given at pairing"},
        {"device-1", "correct-tokeN", false, "same length, last byte differs"},
        {"device-1", "correct-token-and-more", false, "longer token"},
        {"device-1", "", false, "empty token"},
        {"device-2", "", true, "an empty token paired as such"},
        {"device-2", "correct-token", false, "another device's token"},
        {"DEVICE-1", "correct-token", false, "ids compare exactly"},
        {"unknown", "correct-token", false, "unknown id"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(registry->accepts(c.id, c.token), c.accepted) << c.why;
    }
}

TEST_F(DeviceRegistryTest, NamesAreCutToEightyUserPerceivedCharacters) {
    auto repeat = [](const std::string& unit, int count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += unit;
        return text;
    };
    const std::string eAcute = "\xc3\xa9";       // é, two bytes
    const std::string eCombining = "e\xcc\x81";  // e + combining acute
    const std::string family =                   // man ZWJ woman ZWJ girl
        "\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7";
    const std::string flag = "\xf0\x9f\x87\xa8\xf0\x9f\x87\xad";  // regional indicators C H

    struct Case {
        std::string name, expected;
        const char* why;
    };
    const Case cases[] = {
        {repeat("a", 100), repeat("a", 80), "ASCII"},
        {repeat("a", 80), repeat("a", 80), "exactly at the limit"},
        {"Phone", "Phone", "short"},
        {"", "", "empty"},
        {repeat(eAcute, 100), repeat(eAcute, 80), "two-byte characters, cut by characters"},
        {repeat(eCombining, 90), repeat(eCombining, 80), "an accent stays with its letter"},
        {repeat(family, 81), repeat(family, 80), "emoji sequences count as one"},
        {repeat(flag, 85), repeat(flag, 80), "a flag is one character"},
    };
    auto registry = open();
    for (const auto& c : cases) {
        registry->add("device", c.name, "token");
        EXPECT_EQ(registry->devices().back().name, c.expected) << c.why;
    }
}

TEST_F(DeviceRegistryTest, FailedWriteChangesNeitherMemoryNorTheStoredItem) {
    auto registry = open();
    registry->add("A", "Phone", "token-a");
    const auto devicesBefore = registry->devices();
    const auto storedBefore = backend->peek(kAccount);
    backend->failWrites(-25293);

    EXPECT_EQ(errorOf([&] { registry->add("B", "Tablet", "token-b"); }), storageMessage(-25293));
    EXPECT_EQ(errorOf([&] { registry->add("A", "Renamed", "token-a2"); }), storageMessage(-25293));
    EXPECT_EQ(errorOf([&] { registry->revoke("A"); }), storageMessage(-25293));

    EXPECT_EQ(registry->devices(), devicesBefore);
    EXPECT_EQ(backend->peek(kAccount), storedBefore);
    EXPECT_TRUE(registry->accepts("A", "token-a"));
    EXPECT_FALSE(registry->accepts("B", "token-b"));
}

TEST_F(DeviceRegistryTest, RevokeRemovesAndWritesEvenForAnUnknownId) {
    auto registry = open();
    registry->add("A", "Phone", "token-a");
    registry->add("B", "Tablet", "token-b");

    registry->revoke("A");
    EXPECT_EQ(ids(*registry), std::vector<std::string>{"B"});
    EXPECT_FALSE(registry->accepts("A", "token-a"));
    EXPECT_EQ(stored().size(), 1u);

    const int writes = backend->writeCount();
    registry->revoke("never-paired");
    EXPECT_EQ(backend->writeCount(), writes + 1);
    EXPECT_EQ(ids(*registry), std::vector<std::string>{"B"});
}

TEST_F(DeviceRegistryTest, TextThatIsNotUtf8IsRefusedWithoutChangingAnything) {
    auto registry = open();
    registry->add("A", "Phone", "token-a");
    const int writes = backend->writeCount();

    EXPECT_EQ(errorOf([&] { registry->add("B", "bad \xff name", "token"); }),
              "The device's identifier or name is not valid UTF-8 text.");
    EXPECT_EQ(ids(*registry), std::vector<std::string>{"A"});
    EXPECT_EQ(backend->writeCount(), writes);
}

TEST_F(DeviceRegistryTest, KeyringFailureAtCreationIsPassedOnAndNothingIsWritten) {
    backend->put(kAccount, "[]");
    backend->failReads(-25308);
    EXPECT_EQ(errorOf([&] { open(); }), storageMessage(-25308));
    EXPECT_EQ(backend->writeCount(), 0);
}

TEST_F(DeviceRegistryTest, LockedKeyringFailsUnlessInteractionMayUnlockIt) {
    auto first = open();
    first->add("A", "Phone", "token-a");
    backend->lock(/*unlocksWhenPrompted=*/true);

    EXPECT_EQ(errorOf([&] { open(/*allowInteraction=*/false); }),
              storageMessage(MemorySecretBackend::kLockedStatus));
    auto reopened = open(/*allowInteraction=*/true);
    EXPECT_EQ(ids(*reopened), std::vector<std::string>{"A"});
}

TEST_F(DeviceRegistryTest, UndecodableListFailsCreationAndIsLeftAsItIs) {
    const std::string device = R"("id":"A","name":"Phone","tokenHash":"aa")";
    const std::string damaged[] = {
        "",
        "not json",
        "{}",
        "[1]",
        "[{" + device + "}]",                            // no date
        "[{" + device + R"(,"pairedAt":"yesterday"}])",  // date of the wrong type
        "[{" + device + R"(,"pairedAt":1e300}])",        // date no clock can hold
        R"([{"id":7,"name":"Phone","tokenHash":"aa","pairedAt":0}])",
        R"([{"id":"A","tokenHash":"aa","pairedAt":0}])",  // no name
        std::string("[]") + '\0' + "junk",                // bytes after the document
    };
    for (const auto& text : damaged) {
        backend->put(kAccount, text);
        EXPECT_EQ(errorOf([&] { open(); }), kDamagedMessage) << text;
        EXPECT_EQ(backend->peek(kAccount), text);
    }
    EXPECT_EQ(backend->writeCount(), 0);
}

TEST_F(DeviceRegistryTest, EachHostIdentityHasItsOwnList) {
    auto registry = open();
    registry->add("A", "Phone", "token-a");
    DeviceRegistry other(store, clock, "another-host", false);
    EXPECT_EQ(other.account(), "host-devices-another-host");
    EXPECT_TRUE(other.devices().empty());
    EXPECT_FALSE(other.accepts("A", "token-a"));
}

}  // namespace
