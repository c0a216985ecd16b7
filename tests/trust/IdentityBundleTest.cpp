#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/CaldrovexError.h"
#include "platform/OpenSslHandles.h"
#include "trust/CertificateFactory.h"
#include "trust/IdentityBundle.h"

using namespace caldrovex;

namespace {

std::string bundleOf(EVP_PKEY* key, X509* certificate, const std::string& password) {
    platform::Pkcs12Ptr bundle(
        PKCS12_create(password.c_str(), nullptr, key, certificate, nullptr, 0, 0, 0, 0, 0));
    EXPECT_TRUE(bundle);
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(bundle.get(), &der);
    std::string bytes(reinterpret_cast<char*>(der), static_cast<size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

std::string openError(const std::string& bytes, const std::string& password) {
    try {
        IdentityBundle::open(bytes, password);
    } catch (const CaldrovexError& error) {
        return error.message();
    }
    return "(opened)";
}

}  // namespace

TEST(IdentityBundle, RoundTripsKeyAndCertificate) {
    SelfSignedCertificate made = CertificateFactory::make("Caldrovex-test");
    std::string bytes = IdentityBundle::create(made.key.get(), made.certificate.get(), "secret");
    OpenedIdentity opened = IdentityBundle::open(bytes, "secret");
    EXPECT_EQ(opened.certificatePem, CertificateFactory::certificatePem(made.certificate.get()));
    EXPECT_EQ(opened.certificateDer, CertificateFactory::certificateDer(made.certificate.get()));
    EXPECT_EQ(opened.privateKeyPem, CertificateFactory::privateKeyPem(made.key.get()));
}

TEST(IdentityBundle, BundlesWithoutAUsableIdentityAreRefused) {
    SelfSignedCertificate made = CertificateFactory::make("Caldrovex-one");
    const std::string good = IdentityBundle::create(made.key.get(), made.certificate.get(), "pw");
    struct Case {
        const char* name;
        std::string bytes;
        std::string password;
        std::string expected;  // a regular expression
    };
    const std::vector<Case> cases = {
        {"wrong password", good, "not-pw", R"(Could not load the host TLS identity \(\d+\)\.)"},
        {"not a bundle", "garbage", "pw", R"(Could not load the host TLS identity \(-?\d+\)\.)"},
        {"truncated bundle", good.substr(0, good.size() / 2), "pw",
         R"(Could not load the host TLS identity \(-?\d+\)\.)"},
        {"certificate only", bundleOf(nullptr, made.certificate.get(), "pw"), "pw",
         R"(Could not load the host TLS identity \(0\)\.)"},
        {"key only", bundleOf(made.key.get(), nullptr, "pw"), "pw",
         R"(The host certificate is unavailable\.)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = openError(c.bytes, c.password);
        EXPECT_TRUE(std::regex_match(message, std::regex(c.expected))) << message;
    }
}
