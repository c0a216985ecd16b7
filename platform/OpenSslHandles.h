#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

namespace caldrovex::platform {

// Owning handles for the OpenSSL objects the system creates, so that no error path needs a
// manual free. The one place that says which function frees which object.
template <auto Free>
struct OpenSslDeleter {
    template <typename T>
    void operator()(T* handle) const {
        Free(handle);
    }
};

using BignumPtr = std::unique_ptr<BIGNUM, OpenSslDeleter<BN_free>>;
// BIO_free_all frees a whole chain, which for a single BIO is the same as BIO_free.
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OpenSslDeleter<PKCS12_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslDeleter<SSL_CTX_free>>;

inline void freeX509Stack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<freeX509Stack>>;

// The reason of the most recent OpenSSL error on this thread ("" when there is none); clears
// the thread's error queue so later calls start clean.
std::string takeOpenSslError();

// Takes every queued OpenSSL error of this thread, one per line, leaving the queue empty;
// empty text when nothing was queued.
std::string drainOpenSslErrors();

// The bytes a memory BIO holds.
std::string memoryBioText(BIO* bio);

}  // namespace caldrovex::platform
