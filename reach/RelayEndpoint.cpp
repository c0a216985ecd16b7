#include "reach/RelayEndpoint.h"

#include <algorithm>
#include <cctype>

#include "platform/CaldrovexError.h"
#include "trust/Digest.h"
#include "trust/SecureStore.h"

namespace caldrovex {

namespace {

// Versioned so that a future derivation cannot collide with values handed out today.
constexpr std::string_view kRendezvousPrefix = "caldrovex-relay-v2\n";
constexpr std::string_view kPairingPurposePrefix = "pairing\n";

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isNameCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '.';
}

CaldrovexError invalid(std::string_view text, const std::string& reason) {
    return CaldrovexError("The relay address \"" + std::string(text) + "\" " + reason + ".");
}

uint16_t parsePort(std::string_view whole, std::string_view digits) {
    unsigned long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || value > 65535) {
            value = 0;
            break;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (digits.empty() || value == 0 || value > 65535)
        throw invalid(whole, "has a port that is not a number from 1 to 65535");
    return static_cast<uint16_t>(value);
}

}  // namespace

RelayEndpoint RelayEndpoint::parse(std::string_view text) {
    RelayEndpoint endpoint;
    std::string_view rest = text;
    if (const size_t hash = rest.find('#'); hash != std::string_view::npos) {
        const std::string_view pin = rest.substr(hash + 1);
        if (pin.size() != 64 || !std::all_of(pin.begin(), pin.end(), isHexDigit))
            throw invalid(text, "has a certificate hash that is not 64 hexadecimal digits");
        std::string lowered(pin);
        std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        endpoint.pinnedCertificateHash = std::move(lowered);
        rest = rest.substr(0, hash);
    }
    std::string_view host = rest;
    std::optional<std::string_view> port;
    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) throw invalid(text, "opens a bracket it never closes");
        host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty() && !after.starts_with(':'))
            throw invalid(text, "has text after its bracketed address");
        if (!after.empty()) port = after.substr(1);
        if (host.empty() || host.find(':') == std::string_view::npos)
            throw invalid(text, "has brackets around something that is not an IPv6 address");
    } else if (const size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
        if (rest.find(':') != colon)
            throw invalid(text, "has an IPv6 address without brackets around it");
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty()) throw invalid(text, "has no host name");
    const bool ipv6 = rest.starts_with('[');
    const bool valid =
        ipv6 ? std::all_of(host.begin(), host.end(),
                           [](char c) { return isHexDigit(c) || c == ':' || c == '.'; })
             : std::all_of(host.begin(), host.end(), isNameCharacter);
    if (!valid) throw invalid(text, "has a host name with characters no host name can have");
    endpoint.host = std::string(host);
    endpoint.port = port ? parsePort(text, *port) : kDefaultPort;
    return endpoint;
}

std::string RelayEndpoint::address() const {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string RelayEndpoint::text() const {
    return pinnedCertificateHash ? address() + "#" + *pinnedCertificateHash : address();
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
