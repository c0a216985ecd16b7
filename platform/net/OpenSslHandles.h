#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace caldrovex::platform::net {

// Owning handles for the OpenSSL objects this layer creates, so no error path frees by hand.
template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* handle) const { Free(handle); }
};

using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using EvpPkeyCtxPtr =
    std::unique_ptr<EVP_PKEY_CTX, OpenSslDeleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;

// The reason of the most recent OpenSSL error on this thread ("" when there is none); clears
// the thread's error queue so later calls start clean.
std::string takeOpenSslError();

}  // namespace caldrovex::platform::net
