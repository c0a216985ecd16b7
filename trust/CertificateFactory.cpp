#include "trust/CertificateFactory.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>

namespace caldrovex {
namespace {

// The three extensions of a plain TLS server certificate, in configuration syntax.
struct ExtensionText {
    int nid;
    const char* value;
};
constexpr ExtensionText kExtensions[] = {
    {NID_basic_constraints, "critical,CA:FALSE"},
    {NID_key_usage, "critical,digitalSignature,keyEncipherment"},
    {NID_ext_key_usage, "serverAuth"},
};

void check(bool succeeded) {
    if (!succeeded) throw CertificateFactory::creationError();
}

void setRandomSerial(X509* certificate) {
    platform::BignumPtr serial(BN_new());
    check(serial != nullptr);
    check(BN_rand(serial.get(), CertificateFactory::kSerialBits, BN_RAND_TOP_ANY,
                  BN_RAND_BOTTOM_ANY) == 1);
    check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr);
}

void setSubjectAndIssuer(X509* certificate, const std::string& commonName) {
    X509_NAME* name = X509_get_subject_name(certificate);
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.data()),
                                     static_cast<int>(commonName.size()), -1, 0) == 1);
    // Self-signed: the issuer is the subject.
    check(X509_set_issuer_name(certificate, name) == 1);
}

void addExtensions(X509* certificate) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    for (const auto& text : kExtensions) {
        platform::X509ExtensionPtr extension(
            X509V3_EXT_conf_nid(nullptr, &context, text.nid, text.value));
        check(extension != nullptr);
        check(X509_add_ext(certificate, extension.get(), -1) == 1);
    }
}

}  // namespace

SelfSignedCertificate CertificateFactory::make(const std::string& commonName) {
    platform::EvpPkeyPtr key(EVP_RSA_gen(kKeyBits));
    check(key != nullptr);

    platform::X509Ptr certificate(X509_new());
    check(certificate != nullptr);
    check(X509_set_version(certificate.get(), X509_VERSION_3) == 1);
    setRandomSerial(certificate.get());
    check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) != nullptr);
    check(X509_time_adj_ex(X509_getm_notAfter(certificate.get()), static_cast<int>(kValidityDays),
                           0, nullptr) != nullptr);
    check(X509_set_pubkey(certificate.get(), key.get()) == 1);
    setSubjectAndIssuer(certificate.get(), commonName);
    addExtensions(certificate.get());
    check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0);

    return {std::move(key), std::move(certificate)};
}

std::string CertificateFactory::privateKeyPem(EVP_PKEY* key) {
    platform::BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio != nullptr);
    check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1);
    return platform::memoryBioText(bio.get());
}

std::string CertificateFactory::certificatePem(X509* certificate) {
    platform::BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio != nullptr);
    check(PEM_write_bio_X509(bio.get(), certificate) == 1);
    return platform::memoryBioText(bio.get());
}

std::vector<unsigned char> CertificateFactory::certificateDer(X509* certificate) {
    int length = i2d_X509(certificate, nullptr);
    check(length > 0);
    std::vector<unsigned char> der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    check(i2d_X509(certificate, &cursor) == length);
    return der;
}

CaldrovexError CertificateFactory::creationError() {
    std::string output = platform::drainOpenSslErrors();
    return CaldrovexError("Unable to create a TLS identity: " +
                          (output.empty() ? std::string("unknown error") : output));
}

}  // namespace caldrovex
