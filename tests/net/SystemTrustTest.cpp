// Ordinary certificate trust for TLS clients without a pin: the system's store decides, and
// the certificate must name the server. The store is pointed at a test root through
// SSL_CERT_FILE, as OpenSSL's default paths allow.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "net/LoopbackHarness.h"
#include "platform/net/SystemTrust.h"

using namespace caldrovex::test;

namespace {

// Points OpenSSL's default store at one file for the life of the object.
class TrustedFile {
public:
    explicit TrustedFile(const std::string& pem) : path_(folder_.file("roots.pem")) {
        std::ofstream(path_) << pem;
        const char* old = ::getenv("SSL_CERT_FILE");
        if (old) old_ = old;
        ::setenv("SSL_CERT_FILE", path_.c_str(), 1);
    }
    ~TrustedFile() {
        if (old_) {
            ::setenv("SSL_CERT_FILE", old_->c_str(), 1);
        } else {
            ::unsetenv("SSL_CERT_FILE");
        }
    }

private:
    TempDir folder_;
    std::string path_;
    std::optional<std::string> old_;
};

TEST(SystemTrust, AcceptsOnlyATrustedCertificateForTheNameItCarries) {
    const auto certificate = TestCertificate::generate("relay.test");
    const std::vector<CertificateDer> chain{certificate.der};
    EXPECT_FALSE(SystemTrust::accepts(chain, "relay.test")) << "not in the system's store";
    {
        TrustedFile trusted(certificate.certificatePem);
        EXPECT_TRUE(SystemTrust::accepts(chain, "relay.test"));
        EXPECT_TRUE(SystemTrust::verifier("relay.test")(chain));
        EXPECT_FALSE(SystemTrust::accepts(chain, "other.test")) << "issued for another name";
        EXPECT_FALSE(SystemTrust::accepts(chain, "127.0.0.1")) << "no IP address in it";
        EXPECT_FALSE(SystemTrust::accepts({}, "relay.test"));
        EXPECT_FALSE(SystemTrust::accepts({CertificateDer{1, 2, 3}}, "relay.test"));
    }
}

}  // namespace
