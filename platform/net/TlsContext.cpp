#include "platform/net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include "platform/CaldrovexError.h"
#include "platform/OpenSslHandles.h"

namespace caldrovex::platform::net {

namespace {

// The one TLS profile of every listener and client: TLS 1.2 only with ephemeral ECDH key
// exchange (forward secrecy) and AEAD ciphers, so no CBC suite with its SHA-1 MAC and no static
// RSA key exchange; TLS 1.3 with the suites the library offers, all of which qualify.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

void configureCommon(asio::ssl::context& context) {
    SSL_CTX* native = context.native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    if (SSL_CTX_set_cipher_list(native, kTls12Ciphers) != 1)
        throw CaldrovexError("TLS could not be set up: " + takeOpenSslError() + ".");
    // Renegotiation and compression only ever served attacks here. A peer that closes the
    // transport without close_notify reads as an ordinary end of stream: packets are framed,
    // so a truncated one is still noticed by whoever parses them.
    SSL_CTX_set_options(
        native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
}

CertificateDer toDer(X509* certificate) {
    int length = i2d_X509(certificate, nullptr);
    if (length <= 0) return {};
    CertificateDer der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    i2d_X509(certificate, &cursor);
    return der;
}

}  // namespace

TlsContext::Ptr TlsContext::makeServer(const TlsServerIdentity& identity) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    configureCommon(*context);
    std::error_code error;
    context->use_certificate_chain(asio::buffer(identity.certificatePem), error);
    if (error)
        throw CaldrovexError("The TLS certificate could not be loaded: " + error.message() + ".");
    // Parsed apart from the context so that a key which reads fine but belongs to another
    // certificate is told apart from one that does not read at all.
    BioPtr keyText(BIO_new_mem_buf(identity.privateKeyPem.data(),
                                   static_cast<int>(identity.privateKeyPem.size())));
    EvpPkeyPtr key(keyText ? PEM_read_bio_PrivateKey(keyText.get(), nullptr, nullptr, nullptr)
                           : nullptr);
    if (!key)
        throw CaldrovexError("The TLS private key could not be loaded: " + takeOpenSslError() +
                             ".");
    if (SSL_CTX_use_PrivateKey(context->native_handle(), key.get()) != 1 ||
        SSL_CTX_check_private_key(context->native_handle()) != 1) {
        ERR_clear_error();
        throw CaldrovexError("The TLS private key does not match its certificate.");
    }
    context->set_verify_mode(asio::ssl::verify_none);  // clients present no certificate
    // Nothing resumes sessions, and tickets the client never reads would turn its close into
    // a reset instead of an end of stream at the server.
    SSL_CTX_set_num_tickets(context->native_handle(), 0);
    SSL_CTX_set_options(context->native_handle(), SSL_OP_NO_TICKET);
    return context;
}

TlsContext::Ptr TlsContext::makeClient() {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    configureCommon(*context);
    context->set_verify_mode(asio::ssl::verify_none);
    return context;
}

std::vector<CertificateDer> TlsContext::peerChain(SSL* ssl) {
    std::vector<CertificateDer> chain;
    X509* leaf = SSL_get0_peer_certificate(ssl);
    if (leaf) chain.push_back(toDer(leaf));
    // On a client the stack starts with the leaf; on a server it leaves it out.
    STACK_OF(X509)* stack = SSL_get_peer_cert_chain(ssl);
    for (int i = 0; stack && i < sk_X509_num(stack); ++i) {
        X509* certificate = sk_X509_value(stack, i);
        if (leaf && X509_cmp(certificate, leaf) == 0) continue;
        chain.push_back(toDer(certificate));
    }
    return chain;
}

Bytes TlsContext::closeNotifyRecord(SSL* ssl) {
    BIO* transport = SSL_get_wbio(ssl);
    BioPtr memory(BIO_new(BIO_s_mem()));
    if (!transport || !memory) return {};
    // The stream's own write BIO only drains when an Asio operation runs, and a shutdown
    // operation would also wait for the peer's close_notify, competing with pending reads. So
    // the record is written into a memory BIO instead, and the transport BIO put back.
    BIO_up_ref(transport);
    BIO* raw = memory.release();
    SSL_set0_wbio(ssl, raw);  // takes `raw`, drops the stream's reference to `transport`
    SSL_shutdown(ssl);
    ERR_clear_error();
    char* data = nullptr;
    long length = BIO_get_mem_data(raw, &data);
    Bytes record;
    if (length > 0) record.assign(data, data + length);
    SSL_set0_wbio(ssl, transport);  // frees `raw`, takes our reference back
    return record;
}

}  // namespace caldrovex::platform::net
