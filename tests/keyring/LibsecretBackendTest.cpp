// The secure store against a real Secret Service: gnome-keyring in a private D-Bus session
// started by tests/run-with-keyring, with an unlocked default ("login") collection.
#include <gtest/gtest.h>

#define SECRET_API_SUBJECT_TO_CHANGE  // for encoding the master password in the unlock helper
#include <libsecret/secret.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "adapters/secret/LibsecretBackend.h"
#include "platform/ManualQueue.h"
#include "trust/DeviceRegistry.h"
#include "trust/SecureStore.h"

using namespace caldrovex;

namespace {

const std::string kLockedMessage =
    "Secure credential storage is unavailable (2). Unlock your device or login keyring and "
    "try again.";

template <typename Action>
std::string errorOf(Action action) {
    try {
        action();
    } catch (const CaldrovexError& error) {
        return error.what();
    }
    return {};
}

// Direct access to the keyring, to look behind the backend and to lock and unlock the
// login collection as a user (or a screen lock) would.
class Keyring {
public:
    Keyring() {
        GError* error = nullptr;
        service_ = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
        expectNoError(error, "connect");
        collection_ = secret_collection_for_alias_sync(service_, SECRET_COLLECTION_DEFAULT,
                                                       SECRET_COLLECTION_NONE, nullptr, &error);
        expectNoError(error, "default collection");
    }
    ~Keyring() {
        if (collection_) g_object_unref(collection_);
        if (service_) g_object_unref(service_);
    }

    bool hasDefaultCollection() const { return collection_ != nullptr; }
    bool defaultLocked() {
        if (!collection_) return false;
        GError* error = nullptr;
        SecretCollection* fresh = secret_collection_for_alias_sync(
            service_, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
        expectNoError(error, "default collection");
        const bool locked = secret_collection_get_locked(fresh);
        g_object_unref(fresh);
        return locked;
    }

    void lockDefault() {
        GList objects{collection_, nullptr, nullptr};
        GError* error = nullptr;
        secret_service_lock_sync(service_, &objects, nullptr, nullptr, &error);
        expectNoError(error, "lock");
    }

    // gnome-keyring's own unlock-with-password call (no prompt), with the password the
    // wrapper created the login collection with.
    void unlockDefault() {
        const char* master = std::getenv("CALDROVEX_TEST_KEYRING_PASSWORD");
        ASSERT_NE(master, nullptr) << "run this test through tests/run-with-keyring";
        SecretValue* password = secret_value_new(master, -1, "text/plain");
        GVariant* encoded = secret_service_encode_dbus_secret(service_, password);
        secret_value_unref(password);
        GError* error = nullptr;
        GVariant* reply = g_dbus_proxy_call_sync(
            G_DBUS_PROXY(service_),
            "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface.UnlockWithMasterPassword",
            g_variant_new("(o@(oayays))", g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection_)),
                          encoded),
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
        expectNoError(error, "unlock");
        if (reply) g_variant_unref(reply);
    }

    // The items the store's attributes match, locked or not, with their attributes checked.
    int countItems(const std::string& account) {
        GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(attributes, const_cast<char*>("service"),
                            const_cast<char*>(SecureStore::kService));
        g_hash_table_insert(attributes, const_cast<char*>("account"),
                            const_cast<char*>(account.c_str()));
        GError* error = nullptr;
        GList* items = secret_service_search_sync(service_, nullptr, attributes, SECRET_SEARCH_ALL,
                                                  nullptr, &error);
        g_hash_table_unref(attributes);
        expectNoError(error, "search");
        const int count = static_cast<int>(g_list_length(items));
        g_list_free_full(items, g_object_unref);
        return count;
    }

private:
    static void expectNoError(GError* error, const char* what) {
        if (!error) return;
        ADD_FAILURE() << what << ": " << error->message;
        g_error_free(error);
    }

    SecretService* service_ = nullptr;
    SecretCollection* collection_ = nullptr;
};

class KeyringStoreTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(keyring.hasDefaultCollection()) << "tests/run-with-keyring gave no keyring";
        ASSERT_FALSE(keyring.defaultLocked()) << "the login collection should start unlocked";
    }
    void TearDown() override {
        // Leave the collection unlocked for the next test whatever happened here.
        if (keyring.defaultLocked()) keyring.unlockDefault();
    }

    Keyring keyring;
    SecureStore store{std::make_shared<platform::LibsecretBackend>()};
};

TEST_F(KeyringStoreTest, WritingTwiceLeavesOneItemWithTheSecondValue) {
    const std::string account = "relay-secret-write-twice";
    store.write("first value", account);
    store.write("second value", account);
    EXPECT_EQ(store.read(account, false), "second value");
    EXPECT_EQ(keyring.countItems(account), 1);
}

TEST_F(KeyringStoreTest, ValuesComeBackByteForByte) {
    struct Case {
        std::string account, value;
    };
    const Case cases[] = {
        {"value-empty", ""},
        {"value-binary", std::string("\0\x01\xfe\xff tail", 9)},
        {"value-utf8", "p\xc3\xa4ssw\xc3\xb6rd"},
        {"value-large", std::string(64 * 1024, 'j')},  // a full device list is ~10 KB
    };
    for (const auto& c : cases) {
        store.write(c.value, c.account);
        EXPECT_EQ(store.read(c.account, false), c.value) << c.account;
    }
}

TEST_F(KeyringStoreTest, AccountsAreSeparate) {
    store.write("A", "host-devices-one");
    store.write("B", "host-devices-two");
    EXPECT_EQ(store.read("host-devices-one", false), "A");
    EXPECT_EQ(store.read("host-devices-two", false), "B");
}

TEST_F(KeyringStoreTest, MissingAccountIsNoValueWithoutError) {
    EXPECT_EQ(store.read("identity-password-never-written", false), std::nullopt);
    EXPECT_EQ(store.read("identity-password-never-written", true), std::nullopt);
}

TEST_F(KeyringStoreTest, LockedKeyringFailsRatherThanLookingEmpty) {
    const std::string account = "relay-secret-locked";
    store.write("kept", account);
    keyring.lockDefault();
    ASSERT_TRUE(keyring.defaultLocked());

    EXPECT_EQ(errorOf([&] { store.read(account, false); }), kLockedMessage);
    EXPECT_EQ(errorOf([&] { store.read("never-written-while-locked", false); }), kLockedMessage);
    EXPECT_EQ(errorOf([&] { store.write("replacement", account); }), kLockedMessage);
    // With prompting allowed the service is asked to unlock; with no display to show the
    // prompt on it cannot, and that too is a failure, not an empty keyring.
    EXPECT_EQ(errorOf([&] { store.read(account, true); }), kLockedMessage);

    keyring.unlockDefault();
    EXPECT_EQ(store.read(account, false), "kept");
    EXPECT_EQ(keyring.countItems(account), 1);
}

TEST_F(KeyringStoreTest, DeviceRegistryRoundTripsThroughTheKeyring) {
    auto clock = std::make_shared<platform::ManualQueue>();
    DeviceRegistry registry(store, clock, "keyring-host", false);
    registry.add("device-1", "Phone", "token-1");
    clock->advance(2.5);
    registry.add("device-2", "Tablet", "token-2");

    DeviceRegistry reopened(store, clock, "keyring-host", false);
    EXPECT_EQ(reopened.devices(), registry.devices());
    EXPECT_TRUE(reopened.accepts("device-2", "token-2"));
}

// The ways the keyring's service can be missing. Each case runs in a fresh child process (the
// session bus connection is per process), changes its environment, and prints what the store
// says for a read and a write.
void useStoreAndReport() {
    SecureStore store(std::make_shared<platform::LibsecretBackend>());
    const std::string readError = errorOf([&] { store.read("any-account", false); });
    const std::string writeError = errorOf([&] { store.write("value", "any-account"); });
    std::cerr << "read: " << readError << " | write: " << writeError << std::endl;
}

std::string regexOf(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (std::strchr(".()[]{}*+?^$|\\", c)) escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string bothSay(const std::string& sentence) {
    return "read: " + regexOf(sentence) + " \\| write: " + regexOf(sentence);
}

// No bus address, no user bus socket: GDBus would launch a bus of its own with dbus-launch.
// A dbus-launch of the test's own, first on the PATH, tells whether anything ran it.
void withoutSessionBus() {
    const std::filesystem::path scratch =
        std::filesystem::path(CALDROVEX_BINARY_DIR) / ("no-bus-" + std::to_string(getpid()));
    std::filesystem::create_directories(scratch / "bin");
    const auto marker = scratch / "dbus-launch-ran";
    std::ofstream(scratch / "bin" / "dbus-launch")
        << "#!/bin/sh\ntouch '" << marker.string() << "'\nexit 1\n";
    std::filesystem::permissions(scratch / "bin" / "dbus-launch",
                                 std::filesystem::perms::owner_all);
    setenv("PATH", ((scratch / "bin").string() + ":" + std::getenv("PATH")).c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("XDG_RUNTIME_DIR", scratch.c_str(), 1);
    setenv("DISPLAY", ":0", 1);  // GDBus launches a bus only for a display
    useStoreAndReport();
    std::cerr << (std::filesystem::exists(marker) ? "dbus-launch ran" : "no bus launched")
              << std::endl;
    std::filesystem::remove_all(scratch);
    std::_Exit(0);
}

// A bus address that leads nowhere.
void withADeadBus() {
    const std::string deadBus =
        std::string("unix:path=") + CALDROVEX_BINARY_DIR + "/no-such-dir/no-bus-socket";
    setenv("DBUS_SESSION_BUS_ADDRESS", deadBus.c_str(), 1);
    useStoreAndReport();
    std::_Exit(0);
}

// A live session bus on which no Secret Service runs or can be started.
void onABusWithoutSecretService() {
    const std::string command = std::string(
                                    "dbus-daemon --fork --print-address=1 --print-pid=1 "
                                    "--config-file=") +
                                CALDROVEX_SOURCE_DIR + "/tests/keyring/bus-without-services.conf";
    FILE* daemon = popen(command.c_str(), "r");
    char address[512] = {};
    char pid[32] = {};
    if (!daemon || !fgets(address, sizeof address, daemon) || !fgets(pid, sizeof pid, daemon)) {
        std::cerr << "no private bus" << std::endl;
        std::_Exit(1);
    }
    pclose(daemon);
    address[std::strcspn(address, "\n")] = '\0';
    setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
    useStoreAndReport();
    kill(std::atoi(pid), SIGTERM);
    std::_Exit(0);
}

TEST(KeyringUnavailable, AMissingServiceIsSaidPlainlyAndNoBusIsLaunched) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(withoutSessionBus(), testing::ExitedWithCode(0),
                bothSay(SecureStore::kNoSessionBusMessage) + "\nno bus launched");
    EXPECT_EXIT(withADeadBus(), testing::ExitedWithCode(0),
                bothSay(SecureStore::kNoSessionBusMessage));
    EXPECT_EXIT(onABusWithoutSecretService(), testing::ExitedWithCode(0),
                bothSay(SecureStore::kNoSecretServiceMessage));
}

}  // namespace
