#pragma once

#include <string>
#include <vector>

#include "platform/OpenSslHandles.h"

namespace caldrovex {

// What a bundle holds, in the forms the host uses: PEM for the TLS listener, DER for the
// certificate's pinned hash.
struct OpenedIdentity {
    std::string privateKeyPem;
    std::string certificatePem;
    std::vector<unsigned char> certificateDer;
};

// The host identity's PKCS#12 file format: one key and its certificate, encrypted with a
// password. Stateless; callable from any thread.
class IdentityBundle {
public:
    IdentityBundle() = delete;

    // AES-256-CBC with PBKDF2 for both the key and the certificate bag, and an HMAC-SHA-256
    // integrity check: what OpenSSL 3's own tool writes by default, so the stock
    // `openssl pkcs12` opens the file with the password.
    static constexpr int kCipherNid = NID_aes_256_cbc;
    // Key-derivation and MAC iteration count, the tool's default; the password is a
    // 256-bit random token, so stretching only has to be nominal.
    static constexpr int kIterations = PKCS12_DEFAULT_ITER;

    // The DER bytes of a bundle holding `key` and `certificate`, protected by `password`.
    // Throws CaldrovexError("Unable to create a TLS identity: " + OpenSSL's error text).
    static std::string create(EVP_PKEY* key, X509* certificate, const std::string& password);

    // Decrypts `bytes` with `password`. Throws CaldrovexError:
    // - "Could not load the host TLS identity (N)." when the bytes are no bundle or the
    //   password does not open it (N: OpenSSL's reason code, -1 when it gave none), or when it
    //   holds no key (N = 0);
    // - "The host certificate is unavailable." when it holds a key but no certificate for it.
    static OpenedIdentity open(const std::string& bytes, const std::string& password);
};

}  // namespace caldrovex
