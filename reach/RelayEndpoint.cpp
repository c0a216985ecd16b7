#include "reach/RelayEndpoint.h"

#include "trust/Digest.h"
#include "trust/SecureStore.h"

namespace caldrovex {

namespace {

// Versioned so that a future derivation cannot collide with values handed out today.
constexpr std::string_view kRendezvousPrefix = "caldrovex-relay-v2\n";
constexpr std::string_view kPairingPurposePrefix = "pairing\n";

}  // namespace

RelayEndpoint RelayEndpoint::builtIn() {
    return RelayEndpoint{CALDROVEX_RELAY_HOST, kDefaultPort, std::nullopt};
}

std::string RelayEndpoint::hostKey(std::string_view secret, std::string_view purpose) {
    return Digest::hmacSha256Hex(secret, purpose);
}

std::string RelayEndpoint::pairingKey(std::string_view secret, std::string_view pairingSecret) {
    std::string purpose(kPairingPurposePrefix);
    purpose += SecureStore::hash(pairingSecret);
    return hostKey(secret, purpose);
}

std::string RelayEndpoint::rendezvous(std::string_view hostKey) {
    std::string text(kRendezvousPrefix);
    text += hostKey;
    return Digest::sha256Hex(text);
}

}  // namespace caldrovex
