#pragma once

#include <string>
#include <vector>

#include "platform/CaldrovexError.h"
#include "platform/OpenSslHandles.h"

namespace caldrovex {

// A freshly made key and the self-signed certificate over it.
struct SelfSignedCertificate {
    platform::EvpPkeyPtr key;
    platform::X509Ptr certificate;
};

// Makes the host's TLS key and certificate with the OpenSSL library, and turns them into the
// encodings the rest of the host needs. Stateless; callable from any thread.
class CertificateFactory {
public:
    CertificateFactory() = delete;

    // RSA 2048: accepted by every TLS client the devices ship, and quick enough to make at
    // first start.
    static constexpr int kKeyBits = 2048;
    // Ten years: devices pin the certificate's hash, so it must outlive any pairing.
    static constexpr long kValidityDays = 3650;
    // Serial numbers are random and positive, 159 bits, as RFC 5280 allows at most 20 octets.
    static constexpr int kSerialBits = 159;

    // A self-signed X.509 v3 server certificate with the subject CN `commonName`, valid from
    // now for kValidityDays, marked not-a-CA, for digital signature and key encipherment, for
    // server authentication, signed with SHA-256.
    // Throws CaldrovexError("Unable to create a TLS identity: " + OpenSSL's error text).
    static SelfSignedCertificate make(const std::string& commonName);

    // Unencrypted PKCS#8 PEM of the key; PEM and DER of the certificate. Throw CaldrovexError
    // like `make` when OpenSSL fails (only under memory exhaustion).
    static std::string privateKeyPem(EVP_PKEY* key);
    static std::string certificatePem(X509* certificate);
    static std::vector<unsigned char> certificateDer(X509* certificate);

    // "Unable to create a TLS identity: " + OpenSSL's queued error text ("unknown error" when
    // it queued none). Empties this thread's error queue.
    static CaldrovexError creationError();
};

}  // namespace caldrovex
