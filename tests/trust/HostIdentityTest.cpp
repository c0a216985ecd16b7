#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "platform/CaldrovexError.h"
#include "platform/OpenSslHandles.h"
#include "trust/HostIdentity.h"
#include "trust/Uuid.h"

using namespace caldrovex;
namespace fs = std::filesystem;

namespace {

// The keyring as the identity sees it: a map, with optional failures and a record of calls.
struct FakePasswordStore {
    std::map<std::string, std::string> items;
    int writes = 0;
    std::optional<bool> lastInteraction;
    std::optional<std::string> readFailure;
    std::optional<std::string> writeFailure;

    IdentityPasswordStore store() {
        return {[this](const std::string& account, bool allowInteraction) {
                    lastInteraction = allowInteraction;
                    if (readFailure) throw CaldrovexError(*readFailure);
                    auto found = items.find(account);
                    return found == items.end() ? std::nullopt
                                                : std::optional<std::string>(found->second);
                },
                [this](const std::string& account, const std::string& value) {
                    if (writeFailure) throw CaldrovexError(*writeFailure);
                    ++writes;
                    items[account] = value;
                }};
    }
};

const std::string kStorageMessage =
    "Secure credential storage is unavailable (-25308). Unlock your device or login keyring "
    "and try again.";

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Everything in a folder: names with contents and modification times, to prove that nothing
// was written.
std::map<std::string, std::pair<std::string, fs::file_time_type>> snapshot(const fs::path& dir) {
    std::map<std::string, std::pair<std::string, fs::file_time_type>> entries;
    for (const auto& entry : fs::directory_iterator(dir)) {
        entries[entry.path().filename().string()] = {readText(entry.path()),
                                                     fs::last_write_time(entry.path())};
    }
    return entries;
}

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Runs a shell command; returns its exit status and standard output.
std::pair<int, std::string> run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, output};
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

platform::X509Ptr parseCertificate(const std::string& pem) {
    platform::BioPtr bio(BIO_new_mem_buf(pem.data(), -1));
    return platform::X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

std::string commonNameOf(X509* certificate) {
    std::array<char, 256> name{};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name.data(),
                              static_cast<int>(name.size()));
    return name.data();
}

class HostIdentityTest : public ::testing::Test {
public:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "caldrovex-identity-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        // The data folder and one parent are missing, as on a fresh account.
        parent = root / "share";
        dir = parent / "Caldrovex";
    }
    void TearDown() override { fs::remove_all(root); }

    HostIdentity start(bool allowInteraction = false) {
        return HostIdentity(dir, keyring.store(), allowInteraction);
    }
    fs::path bundle() const { return dir / HostIdentity::kBundleFile; }
    fs::path hostIdFile() const { return dir / HostIdentity::kHostIdFile; }

    void expectFailure(const std::string& message) {
        try {
            start();
            ADD_FAILURE() << "creation succeeded";
        } catch (const CaldrovexError& error) {
            EXPECT_EQ(error.message(), message);
        }
    }

    fs::path root, parent, dir;
    FakePasswordStore keyring;
};

}  // namespace

TEST_F(HostIdentityTest, FirstStartCreatesEverythingAndLeavesNoWorkingFolder) {
    HostIdentity identity = start();

    const std::string& id = identity.hostID();
    EXPECT_TRUE(Uuid::isValid(id)) << id;
    EXPECT_TRUE(std::none_of(id.begin(), id.end(), ::islower)) << id;
    EXPECT_EQ(readText(hostIdFile()), id);  // no line end

    ASSERT_EQ(keyring.items.size(), 1u);
    const std::string& password = keyring.items.at("identity-password-" + id);
    EXPECT_TRUE(std::regex_match(password, std::regex("[A-Za-z0-9_-]{43}"))) << password;
    EXPECT_EQ(keyring.lastInteraction, false);

    // Only the two files remain: the working folder is gone.
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"host-id", "host-identity.p12"}));
    EXPECT_EQ(modeOf(parent), 0700u);
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(modeOf(bundle()), 0600u);

    EXPECT_TRUE(std::regex_match(identity.certificateHash(), std::regex("[0-9a-f]{64}")));
    EXPECT_NE(identity.identity().privateKeyPem.find("BEGIN PRIVATE KEY"), std::string::npos);
}

TEST_F(HostIdentityTest, CertificateIsASelfSignedTenYearServerCertificate) {
    HostIdentity identity = start();
    auto certificate = parseCertificate(identity.identity().certificatePem);
    ASSERT_TRUE(certificate);
    X509* cert = certificate.get();

    EXPECT_EQ(X509_get_version(cert), X509_VERSION_3);
    EXPECT_EQ(commonNameOf(cert), "Caldrovex-" + identity.hostID());
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)), 0);

    EVP_PKEY* publicKey = X509_get0_pubkey(cert);
    EXPECT_EQ(EVP_PKEY_get_base_id(publicKey), EVP_PKEY_RSA);
    EXPECT_EQ(EVP_PKEY_get_bits(publicKey), 2048);
    EXPECT_EQ(X509_verify(cert, publicKey), 1);  // self-signed

    int days = 0, seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(cert), X509_get0_notAfter(cert)),
              1);
    EXPECT_EQ(days, 3650);
    EXPECT_EQ(seconds, 0);

    // Exactly the three extensions, with their criticality.
    EXPECT_EQ(X509_get_ext_count(cert), 3);
    int critical = -1;
    auto* constraints = static_cast<BASIC_CONSTRAINTS*>(
        X509_get_ext_d2i(cert, NID_basic_constraints, &critical, nullptr));
    ASSERT_NE(constraints, nullptr);
    EXPECT_EQ(constraints->ca, 0);
    EXPECT_EQ(critical, 1);
    BASIC_CONSTRAINTS_free(constraints);
    auto* usage =
        static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(cert, NID_key_usage, &critical, nullptr));
    ASSERT_NE(usage, nullptr);
    EXPECT_EQ(critical, 1);
    ASN1_BIT_STRING_free(usage);
    EXPECT_EQ(X509_get_key_usage(cert),
              static_cast<uint32_t>(KU_DIGITAL_SIGNATURE | KU_KEY_ENCIPHERMENT));
    auto* extended = static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(cert, NID_ext_key_usage, &critical, nullptr));
    ASSERT_NE(extended, nullptr);
    EXPECT_EQ(critical, 0);
    EXTENDED_KEY_USAGE_free(extended);
    EXPECT_EQ(X509_get_extended_key_usage(cert), static_cast<uint32_t>(XKU_SSL_SERVER));

    // The PEM pair is usable as a TLS server identity.
    platform::SslCtxPtr context(SSL_CTX_new(TLS_server_method()));
    const std::string& keyPem = identity.identity().privateKeyPem;
    platform::BioPtr keyBio(BIO_new_mem_buf(keyPem.data(), -1));
    platform::EvpPkeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(key);
    EXPECT_EQ(SSL_CTX_use_certificate(context.get(), cert), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey(context.get(), key.get()), 1);
    EXPECT_EQ(SSL_CTX_check_private_key(context.get()), 1);
}

TEST_F(HostIdentityTest, SecondStartWritesNothingAndReturnsTheSameIdentity) {
    HostIdentity first = start();
    const auto before = snapshot(dir);
    const int writesBefore = keyring.writes;

    HostIdentity second = start(true);

    EXPECT_EQ(second.hostID(), first.hostID());
    EXPECT_EQ(second.certificateHash(), first.certificateHash());
    EXPECT_EQ(second.identity().certificatePem, first.identity().certificatePem);
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_EQ(keyring.writes, writesBefore);
    EXPECT_EQ(keyring.lastInteraction, true);
}

TEST_F(HostIdentityTest, LowerCaseIdentifierIsKeptAsWritten) {
    const std::string lower = "0f8e2b4c-5d6a-4b7c-9d8e-1a2b3c4d5e6f";
    fs::create_directories(dir);
    writeText(hostIdFile(), lower);

    HostIdentity identity = start();

    EXPECT_EQ(identity.hostID(), lower);
    EXPECT_EQ(readText(hostIdFile()), lower);
    EXPECT_EQ(keyring.items.count("identity-password-" + lower), 1u);
    EXPECT_EQ(commonNameOf(parseCertificate(identity.identity().certificatePem).get()),
              "Caldrovex-" + lower);
}

TEST_F(HostIdentityTest, BundleWithoutItsPasswordIsNeverReplaced) {
    struct Case {
        const char* name;
        std::function<void(HostIdentityTest&, const std::string& hostID)> damage;
    };
    const std::vector<Case> cases = {
        {"password item deleted",
         [](HostIdentityTest& t, const std::string& id) {
             t.keyring.items.erase("identity-password-" + id);
         }},
        {"password item not UTF-8",
         [](HostIdentityTest& t, const std::string& id) {
             t.keyring.items["identity-password-" + id] = "\xff\xfe\x80";
         }},
        // A line end makes the stored identifier invalid: a new one is made, and its
        // password account is empty.
        {"host-id gained a line end",
         [](HostIdentityTest& t, const std::string& id) { writeText(t.hostIdFile(), id + "\n"); }},
    };
    std::string id;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        keyring = {};
        id = start().hostID();
        const std::string bundleBytes = readText(bundle());

        c.damage(*this, id);
        expectFailure(
            "This host's identity password is missing from the keyring. Restore the original "
            "keyring before reconnecting your paired devices.");

        EXPECT_EQ(readText(bundle()), bundleBytes);
        EXPECT_EQ(keyring.writes, 1);  // only the first start's password
        EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"host-id", "host-identity.p12"}));
    }
    // The line-end case wrote its new identifier before finding the password missing.
    const std::string newId = readText(hostIdFile());
    EXPECT_TRUE(Uuid::isValid(newId)) << newId;
    EXPECT_NE(newId, id);
}

TEST_F(HostIdentityTest, DeletedBundleGivesANewCertificateWithTheSamePassword) {
    HostIdentity first = start();
    fs::remove(bundle());

    HostIdentity second = start();

    EXPECT_EQ(second.hostID(), first.hostID());
    EXPECT_NE(second.certificateHash(), first.certificateHash());
    EXPECT_EQ(keyring.writes, 1);
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"host-id", "host-identity.p12"}));
}

TEST_F(HostIdentityTest, StockOpensslToolOpensTheBundleWithTheStoredPassword) {
    HostIdentity identity = start();
    const std::string password = keyring.items.at(HostIdentity::passwordAccount(identity.hostID()));
    const std::string in = "openssl pkcs12 -in '" + bundle().string() + "' -passin 'pass:";

    auto [certStatus, certs] = run(in + password + "' -nokeys 2>&1");
    EXPECT_EQ(certStatus, 0) << certs;
    EXPECT_NE(certs.find("BEGIN CERTIFICATE"), std::string::npos) << certs;

    auto [keyStatus, keys] = run(in + password + "' -nocerts -nodes 2>&1");
    EXPECT_EQ(keyStatus, 0) << keys;
    EXPECT_NE(keys.find("BEGIN PRIVATE KEY"), std::string::npos);

    auto [wrongStatus, wrong] = run(in + "not-the-password' -nokeys 2>&1");
    EXPECT_NE(wrongStatus, 0) << wrong;

    // The tool's own digest of the bundled certificate is the published hash.
    auto [hashStatus, hash] = run(in + password +
                                  "' -nokeys 2>/dev/null | openssl x509 -outform DER | "
                                  "openssl dgst -sha256 -r");
    EXPECT_EQ(hashStatus, 0);
    EXPECT_EQ(hash.substr(0, 64), identity.certificateHash());
}

TEST_F(HostIdentityTest, KeyringFailuresEndCreationWithoutABundle) {
    struct Case {
        const char* name;
        bool failRead;
    };
    for (const Case& c : {Case{"read fails", true}, Case{"write fails", false}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        keyring = {};
        (c.failRead ? keyring.readFailure : keyring.writeFailure) = kStorageMessage;
        expectFailure(kStorageMessage);
        EXPECT_FALSE(fs::exists(bundle()));
        EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"host-id"}));
    }
}

TEST_F(HostIdentityTest, UnopenableBundleFailsToLoad) {
    struct Case {
        const char* name;
        std::function<void(HostIdentityTest&, const std::string& hostID)> damage;
    };
    const std::vector<Case> cases = {
        {"keyring holds another password",
         [](HostIdentityTest& t, const std::string& id) {
             t.keyring.items["identity-password-" + id] = "some-other-password";
         }},
        {"bundle is not PKCS#12",
         [](HostIdentityTest& t, const std::string&) { writeText(t.bundle(), "not a bundle"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        keyring = {};
        c.damage(*this, start().hostID());
        try {
            start();
            ADD_FAILURE() << "loading succeeded";
        } catch (const CaldrovexError& error) {
            EXPECT_TRUE(std::regex_match(
                error.message(), std::regex(R"(Could not load the host TLS identity \(-?\d+\)\.)")))
                << error.message();
        }
    }
}

TEST_F(HostIdentityTest, DataFolderThatCannotBeCreatedPassesTheSystemErrorThrough) {
    fs::create_directories(parent);
    writeText(dir, "a file where the folder should be");
    EXPECT_THROW(start(), std::filesystem::filesystem_error);
    EXPECT_TRUE(keyring.items.empty());
}
