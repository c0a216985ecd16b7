#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/Endpoint.h"

namespace caldrovex::platform::net {

// A DER-encoded X.509 certificate.
using CertificateDer = std::vector<unsigned char>;

// Server side of TLS: the identity the listener presents. PEM texts of the private key and of
// the certificate (the host identity hands these over in memory; nothing is written to disk).
struct TlsServerIdentity {
    std::string privateKeyPem;
    std::string certificatePem;
};

// Decides whether a server's certificate chain (leaf first, DER) is acceptable. Called once
// per handshake on the connection's queue; false fails the connection.
using VerifyCallback = std::function<bool(const std::vector<CertificateDer>& chain)>;

struct TlsOptions {
    // Present on listeners: the certificate and key to present.
    std::optional<TlsServerIdentity> identity;
    // Client side: without a callback the peer's chain is not checked at all (the caller
    // pins it itself, for example by hashing the leaf after the handshake).
    VerifyCallback verify;
    // Client side: the name sent as SNI, when not empty.
    std::string serverName;
};

struct TcpOptions {
    bool noDelay = false;
    bool enableKeepalive = false;
    int keepaliveIdle = 0;      // seconds; 0 = system default
    int keepaliveInterval = 0;  // seconds; 0 = system default
    int keepaliveCount = 0;     // probes; 0 = system default
    int connectionTimeout = 0;  // seconds to establish TCP (and TLS); 0 = none
};

// What a connection or listener is built with. TLS always requires version 1.2 or newer.
struct Parameters {
    std::optional<TlsOptions> tls;  // absent: a plain byte stream
    TcpOptions tcp;
    // Listeners bind exactly here (a host:port, port 0 = any free port, or a unix path).
    std::optional<Endpoint> requiredLocalEndpoint;
};

}  // namespace caldrovex::platform::net
