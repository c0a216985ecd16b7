#pragma once

#include <string>
#include <vector>

#include "platform/net/Parameters.h"

namespace caldrovex::test {

// A self-signed RSA 2048 certificate and its key, made with OpenSSL for tests that need a TLS
// identity: PEM texts for a listener, DER for comparing with what a peer saw.
struct TestCertificate {
    std::string privateKeyPem;
    std::string certificatePem;
    std::vector<unsigned char> der;

    // A fresh key and certificate (takes some tens of milliseconds). Valid from one hour ago
    // for 30 days, with `commonName` as subject and issuer.
    static TestCertificate generate(const std::string& commonName = "caldrovex test");
    // One certificate shared by the whole test program, generated on first use.
    static const TestCertificate& shared();

    platform::net::TlsServerIdentity identity() const { return {privateKeyPem, certificatePem}; }
};

}  // namespace caldrovex::test
