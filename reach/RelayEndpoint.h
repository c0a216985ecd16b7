#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace caldrovex {

// Where the relay service is, and the keys under which the host registers with it.
//
// The host registers *host keys* (HMACs of its private relay secret over a purpose text);
// a device is only ever given the *rendezvous* value of one host key, and the relay sees only
// HMAC outputs, never the secret. All outputs are 64 lower-case hexadecimal characters.
// Pure computation: callable from any thread, no failure.
struct RelayEndpoint {
    // The relay service's registered port.
    static constexpr uint16_t kDefaultPort = 48700;

    std::string host;
    uint16_t port = kDefaultPort;
    // SHA-256 of the relay's leaf certificate (DER) in hexadecimal; when present only that
    // certificate is accepted, when absent the system's ordinary certificate trust decides.
    std::optional<std::string> pinnedCertificateHash;

    bool operator==(const RelayEndpoint&) const = default;

    // Reads the written form "HOST[:PORT][#SHA256]": a host name, an IPv4 address or an IPv6
    // address in brackets; the port (1 to 65535, 48700 when left out); the SHA-256 of the
    // relay's certificate as 64 hexadecimal digits of either case, kept in lower case.
    // Throws CaldrovexError with a sentence that quotes the text and names what is wrong.
    static RelayEndpoint parse(std::string_view text);

    // "host:port" (IPv6 hosts in brackets): where devices are told the relay is.
    std::string address() const;
    // The written form `parse` reads: `address()`, then "#" and the pinned hash when present.
    std::string text() const;

    // hex(HMAC-SHA-256(key = secret, message = purpose)).
    static std::string hostKey(std::string_view secret, std::string_view purpose);

    // The host key for a pairing: purpose "pairing\n" + hex SHA-256 of the pairing secret, so
    // that a pairing known only by its stored hash yields the same key.
    static std::string pairingKey(std::string_view secret, std::string_view pairingSecret);

    // hex(SHA-256("caldrovex-relay-v2\n" + hostKey)): what a device presents to the relay.
    static std::string rendezvous(std::string_view hostKey);
};

}  // namespace caldrovex
