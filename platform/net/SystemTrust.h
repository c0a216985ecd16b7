#pragma once

#include <string>
#include <vector>

#include "platform/net/Parameters.h"

namespace caldrovex::platform::net {

// The machine's ordinary certificate trust, for TLS clients that name their server and pin
// nothing: the chain must lead to a root of the system's store (OpenSSL's default paths, so
// SSL_CERT_FILE and SSL_CERT_DIR apply), be valid now, be meant for TLS servers, and the leaf
// must be issued for `serverName` (a host name, or an IPv4/IPv6 literal matched against the
// certificate's IP addresses).
//
// Stateless; callable from any thread. The store is read on every call: clients that use it
// connect rarely, and a store edited while the program runs is then honoured at once.
class SystemTrust {
public:
    SystemTrust() = delete;

    // `chain` leaf first, DER-encoded, as TLS peers present it.
    static bool accepts(const std::vector<CertificateDer>& chain, const std::string& serverName);

    // A verify callback that applies `accepts` for `serverName`.
    static VerifyCallback verifier(std::string serverName);
};

}  // namespace caldrovex::platform::net
