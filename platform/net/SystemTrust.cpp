#include "platform/net/SystemTrust.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <asio/ip/address.hpp>
#include <memory>

#include "platform/OpenSslHandles.h"

namespace caldrovex::platform::net {

namespace {

using StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX_free>>;

X509Ptr parse(const CertificateDer& der) {
    const unsigned char* cursor = der.data();
    return X509Ptr(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
}

bool isAddressLiteral(const std::string& name) {
    std::error_code error;
    asio::ip::make_address(name, error);
    return !error;
}

bool verify(const std::vector<CertificateDer>& chain, const std::string& serverName) {
    if (chain.empty() || serverName.empty()) return false;
    X509Ptr leaf = parse(chain.front());
    X509StackPtr untrusted(sk_X509_new_null());
    StorePtr store(X509_STORE_new());
    StoreContextPtr context(X509_STORE_CTX_new());
    if (!leaf || !untrusted || !store || !context) return false;
    for (size_t i = 1; i < chain.size(); ++i) {
        X509Ptr certificate = parse(chain[i]);
        if (!certificate || !sk_X509_push(untrusted.get(), certificate.get())) return false;
        certificate.release();  // the stack owns it now
    }
    if (X509_STORE_set_default_paths(store.get()) != 1) return false;
    if (X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), untrusted.get()) != 1)
        return false;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    const int named = isAddressLiteral(serverName)
                          ? X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str())
                          : X509_VERIFY_PARAM_set1_host(param, serverName.c_str(), 0);
    if (named != 1) return false;
    return X509_verify_cert(context.get()) == 1;
}

}  // namespace

bool SystemTrust::accepts(const std::vector<CertificateDer>& chain, const std::string& serverName) {
    const bool accepted = verify(chain, serverName);
    ERR_clear_error();  // a refusal leaves its reasons queued on this thread
    return accepted;
}

VerifyCallback SystemTrust::verifier(std::string serverName) {
    return [serverName = std::move(serverName)](const std::vector<CertificateDer>& chain) {
        return accepts(chain, serverName);
    };
}

}  // namespace caldrovex::platform::net
