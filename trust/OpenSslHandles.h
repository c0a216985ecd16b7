#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

namespace caldrovex {

// Owning handles for the OpenSSL objects the identity code creates, so that no error path
// needs a manual free.
template <auto Free>
struct OpenSslDeleter {
    template <typename T>
    void operator()(T* handle) const {
        Free(handle);
    }
};

using BignumPtr = std::unique_ptr<BIGNUM, OpenSslDeleter<BN_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OpenSslDeleter<PKCS12_free>>;

inline void freeX509Stack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<freeX509Stack>>;

// Takes every queued OpenSSL error of this thread, one per line, leaving the queue empty;
// empty text when nothing was queued.
std::string drainOpenSslErrors();

// The bytes a memory BIO holds.
std::string memoryBioText(BIO* bio);

}  // namespace caldrovex
