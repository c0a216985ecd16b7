#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "trust/MemorySecretBackend.h"
#include "trust/SecureStore.h"

using namespace caldrovex;

namespace {

std::string storageMessage(int status) {
    return "Secure credential storage is unavailable (" + std::to_string(status) +
           "). Unlock your device or login keyring and try again.";
}

class SecureStoreTest : public testing::Test {
protected:
    std::shared_ptr<MemorySecretBackend> backend = std::make_shared<MemorySecretBackend>();
    SecureStore store{backend};

    // The message of the CaldrovexError `action` throws; empty when it throws nothing.
    template <typename Action>
    static std::string errorOf(Action action) {
        try {
            action();
        } catch (const CaldrovexError& error) {
            return error.what();
        }
        return {};
    }
};

TEST_F(SecureStoreTest, MissingAccountReadsAsNoValueWithoutError) {
    EXPECT_EQ(store.read("never-written", false), std::nullopt);
    EXPECT_EQ(store.read("never-written", true), std::nullopt);
}

TEST_F(SecureStoreTest, SecondWriteReplacesTheFirst) {
    store.write("first", "relay-secret-A");
    store.write("second", "relay-secret-A");
    EXPECT_EQ(store.read("relay-secret-A", false), "second");
    EXPECT_EQ(store.read("relay-secret-B", false), std::nullopt);
}

TEST_F(SecureStoreTest, BytesAreStoredUnchanged) {
    const std::string bytes("\0\xff\n{\"x\":1}", 10);
    store.write(bytes, "account");
    EXPECT_EQ(store.read("account", false), bytes);
}

TEST_F(SecureStoreTest, BackendFailuresBecomeTheStorageMessageWithTheirStatus) {
    backend->failReads(-25308);
    EXPECT_EQ(errorOf([&] { store.read("account", true); }), storageMessage(-25308));

    backend->put("account", "old");
    backend->failWrites(4);
    EXPECT_EQ(errorOf([&] { store.write("new", "account"); }), storageMessage(4));
    EXPECT_EQ(backend->peek("account"), "old");
}

TEST_F(SecureStoreTest, LockedKeyringFailsInsteadOfPromptingWhenInteractionIsNotAllowed) {
    backend->put("account", "secret");
    backend->lock(/*unlocksWhenPrompted=*/true);

    EXPECT_EQ(errorOf([&] { store.read("account", false); }),
              storageMessage(MemorySecretBackend::kLockedStatus));
    // A locked keyring must not pass for an empty one, or callers would mint new secrets.
    EXPECT_EQ(errorOf([&] { store.read("missing", false); }),
              storageMessage(MemorySecretBackend::kLockedStatus));
    EXPECT_EQ(backend->promptCount(), 0);

    // The retry with interaction allowed lets the user unlock.
    EXPECT_EQ(store.read("account", true), "secret");
    EXPECT_EQ(backend->promptCount(), 1);
}

TEST_F(SecureStoreTest, DismissedPromptIsAFailure) {
    backend->lock(/*unlocksWhenPrompted=*/false);
    EXPECT_EQ(errorOf([&] { store.read("missing", true); }),
              storageMessage(MemorySecretBackend::kLockedStatus));
    EXPECT_EQ(backend->promptCount(), 1);
}

TEST(SecureStoreToken, Is43UrlSafeCharactersAndDiffersEachTime) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::set<std::string> seen;
    std::set<char> used;
    for (int i = 0; i < 200; ++i) {
        const std::string token = SecureStore::randomToken();
        ASSERT_EQ(token.size(), 43u) << token;
        ASSERT_EQ(token.find_first_not_of(alphabet), std::string::npos) << token;
        seen.insert(token);
        used.insert(token.begin(), token.end());
    }
    EXPECT_EQ(seen.size(), 200u);
    // Over 8600 characters every symbol turns up, the two replaced ones included.
    EXPECT_TRUE(used.count('-') && used.count('_'));
}

TEST(SecureStoreHash, MatchesKnownSha256Digests) {
    struct Case {
        std::string data;
        std::string digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // UTF-8 bytes of "é" (c3 a9).
        {"\xc3\xa9", "4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SecureStore::hash(c.data), c.digest) << c.data;
    }
}

TEST(SecureStoreCompare, EqualOnlyForIdenticalBytes) {
    struct Case {
        std::string a, b;
        bool equal;
        const char* why;
    };
    const Case cases[] = {
        {"", "", true, "two empty strings"},
        {"a", "", false, "lengths differ"},
        {"", "a", false, "lengths differ the other way"},
        {"token-1", "token-1", true, "same text"},
        {"token-1", "token-2", false, "only the last byte differs"},
        {"Xoken-1", "token-1", false, "only the first byte differs"},
        {std::string("a\0b", 3), std::string("a\0c", 3), false, "bytes after a NUL count"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SecureStore::constantTimeEqual(c.a, c.b), c.equal) << c.why;
    }
}

}  // namespace
