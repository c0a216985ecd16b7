#include "trust/IdentityBundle.h"

#include <openssl/err.h>

#include "platform/CaldrovexError.h"
#include "trust/CertificateFactory.h"

namespace caldrovex {
namespace {

[[noreturn]] void failCreation() {
    throw CertificateFactory::creationError();
}

[[noreturn]] void failLoading(long status) {
    ERR_clear_error();
    throw CaldrovexError("Could not load the host TLS identity (" + std::to_string(status) + ").");
}

// OpenSSL's reason for the latest failure, as the status the load message quotes.
long lastReason() {
    unsigned long error = ERR_peek_last_error();
    return error == 0 ? -1 : static_cast<long>(ERR_GET_REASON(error));
}

}  // namespace

std::string IdentityBundle::create(EVP_PKEY* key, X509* certificate, const std::string& password) {
    // The MAC is added separately below, so its digest can be named instead of left to the
    // library's default.
    const int noMac = -1;
    platform::Pkcs12Ptr bundle(PKCS12_create(password.c_str(), nullptr, key, certificate, nullptr,
                                             kCipherNid, kCipherNid, kIterations, noMac, 0));
    if (!bundle) failCreation();
    if (PKCS12_set_mac(bundle.get(), password.c_str(), -1, nullptr, 0, kIterations, EVP_sha256()) !=
        1) {
        failCreation();
    }
    int length = i2d_PKCS12(bundle.get(), nullptr);
    if (length <= 0) failCreation();
    std::string bytes(static_cast<size_t>(length), '\0');
    auto* cursor = reinterpret_cast<unsigned char*>(bytes.data());
    if (i2d_PKCS12(bundle.get(), &cursor) != length) failCreation();
    return bytes;
}

OpenedIdentity IdentityBundle::open(const std::string& bytes, const std::string& password) {
    ERR_clear_error();
    const auto* cursor = reinterpret_cast<const unsigned char*>(bytes.data());
    platform::Pkcs12Ptr bundle(d2i_PKCS12(nullptr, &cursor, static_cast<long>(bytes.size())));
    if (!bundle) failLoading(lastReason());

    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* rawExtra = nullptr;
    if (PKCS12_parse(bundle.get(), password.c_str(), &rawKey, &rawCertificate, &rawExtra) != 1) {
        failLoading(lastReason());
    }
    platform::EvpPkeyPtr key(rawKey);
    platform::X509Ptr certificate(rawCertificate);
    platform::X509StackPtr extra(rawExtra);

    // PKCS12_parse hands out a certificate only when it matches the key; any other
    // certificate lands in `extra` and is of no use here.
    if (!key) failLoading(0);
    if (!certificate) throw CaldrovexError("The host certificate is unavailable.");

    return {CertificateFactory::privateKeyPem(key.get()),
            CertificateFactory::certificatePem(certificate.get()),
            CertificateFactory::certificateDer(certificate.get())};
}

}  // namespace caldrovex
