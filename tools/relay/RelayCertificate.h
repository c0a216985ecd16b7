#pragma once

#include <filesystem>
#include <string>

#include "platform/net/Parameters.h"

namespace caldrovex::relay {

// The relay's TLS identity and the SHA-256 of its certificate, which hosts and devices pin.
//
// By default the relay makes its own self-signed certificate on first start and keeps it in
// its state folder ("relay-key.pem", owner-only, and "relay-certificate.pem"), so the hash
// stays the same across restarts; a relay with a certificate from an authority can be given
// its files instead, and links that pin nothing then trust it the ordinary way.
struct RelayCertificate {
    static constexpr const char* kKeyFile = "relay-key.pem";
    static constexpr const char* kCertificateFile = "relay-certificate.pem";

    platform::net::TlsServerIdentity identity;
    // Lower-case hexadecimal SHA-256 of the leaf certificate's DER bytes.
    std::string sha256;

    // Loads the pair kept in `folder`, or makes and stores one when the folder has neither
    // file. Throws std::runtime_error with a sentence naming the file at fault.
    static RelayCertificate loadOrMake(const std::filesystem::path& folder);
    // Loads a PEM certificate (chain, leaf first) and its PEM key.
    static RelayCertificate load(const std::filesystem::path& certificateFile,
                                 const std::filesystem::path& keyFile);
};

}  // namespace caldrovex::relay
