#pragma once

#include <openssl/ssl.h>

#include <asio/ssl/context.hpp>
#include <memory>
#include <optional>

#include "platform/net/Connection.h"
#include "platform/net/Parameters.h"

namespace caldrovex::platform::net {

// Builds the OpenSSL contexts of this layer and reads what a finished handshake left behind.
//
// Every context speaks one profile: TLS 1.2 with ECDHE key exchange and AEAD ciphers only,
// or TLS 1.3; older versions and suites are refused. Servers present the identity given in
// memory; clients do not check the server's chain during the handshake: callers decide with
// their verify callback (or by pinning) once it is over, so there is no CA store to consult.
// A context is immutable once built and may be shared by any number of streams and threads.
class TlsContext {
public:
    using Ptr = std::shared_ptr<asio::ssl::context>;

    // Throws CaldrovexError with a sentence naming what was wrong with the key or certificate.
    static Ptr makeServer(const TlsServerIdentity& identity);
    static Ptr makeClient();

    // The peer's chain after the handshake, leaf first, DER-encoded; empty when there is none.
    static std::vector<CertificateDer> peerChain(SSL* ssl);

    // Queues a TLS close_notify for `ssl` without waiting for the peer's and returns the
    // record's bytes, which the caller writes to the transport. Lets one side end its half of
    // the stream while it keeps reading. Empty when OpenSSL produced nothing.
    static Bytes closeNotifyRecord(SSL* ssl);
};

}  // namespace caldrovex::platform::net
