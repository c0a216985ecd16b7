#include "support/TestCertificate.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <stdexcept>

#include "platform/OpenSslHandles.h"

namespace caldrovex::test {

using namespace platform;

namespace {

void check(bool ok, const char* step) {
    if (!ok)
        throw std::runtime_error(std::string("test certificate: ") + step +
                                 " failed: " + takeOpenSslError());
}

}  // namespace

TestCertificate TestCertificate::generate(const std::string& commonName) {
    EvpPkeyPtr key(EVP_RSA_gen(2048));
    check(key != nullptr, "key generation");

    X509Ptr certificate(X509_new());
    check(certificate != nullptr, "X509_new");
    check(X509_set_version(certificate.get(), X509_VERSION_3) == 1, "set version");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;  // a positive serial number
    BignumPtr serialNumber(BN_bin2bn(serial, sizeof serial, nullptr));
    check(serialNumber &&
              BN_to_ASN1_INTEGER(serialNumber.get(), X509_get_serialNumber(certificate.get())),
          "set serial");
    check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) != nullptr, "not before");
    check(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600) != nullptr,
          "not after");
    X509_NAME* name = X509_get_subject_name(certificate.get());
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                     -1, 0) == 1,
          "subject");
    check(X509_set_issuer_name(certificate.get(), name) == 1, "issuer");
    check(X509_set_pubkey(certificate.get(), key.get()) == 1, "public key");
    check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "signing");

    TestCertificate result;
    BioPtr keyPem(BIO_new(BIO_s_mem()));
    check(keyPem && PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                             nullptr) == 1,
          "key PEM");
    result.privateKeyPem = memoryBioText(keyPem.get());
    BioPtr certificatePem(BIO_new(BIO_s_mem()));
    check(certificatePem && PEM_write_bio_X509(certificatePem.get(), certificate.get()) == 1,
          "certificate PEM");
    result.certificatePem = memoryBioText(certificatePem.get());
    int length = i2d_X509(certificate.get(), nullptr);
    check(length > 0, "DER");
    result.der.resize(static_cast<size_t>(length));
    unsigned char* cursor = result.der.data();
    i2d_X509(certificate.get(), &cursor);
    return result;
}

const TestCertificate& TestCertificate::shared() {
    static const TestCertificate certificate = generate();
    return certificate;
}

}  // namespace caldrovex::test
