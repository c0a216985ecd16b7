#include "host/InvitationLink.h"

#include <algorithm>
#include <vector>

#include "platform/CaldrovexError.h"
#include "protocol/Base64.h"

namespace caldrovex {

namespace {

std::string urlSafeBase64(const std::vector<uint8_t>& bytes) {
    std::string data = Base64::encode(bytes);
    std::replace(data.begin(), data.end(), '+', '-');
    std::replace(data.begin(), data.end(), '/', '_');
    std::erase(data, '=');
    return data;
}

}  // namespace

std::optional<std::string> InvitationLink::make(const PairingInvitation& invitation) {
    std::string json;
    try {
        json = invitation.encode();
    } catch (const CaldrovexError&) {
        return std::nullopt;
    }
    return kPrefix + urlSafeBase64(std::vector<uint8_t>(json.begin(), json.end()));
}

std::optional<PairingInvitation> InvitationLink::read(std::string_view link) {
    std::string_view prefix(kPrefix);
    if (!link.starts_with(prefix)) return std::nullopt;
    const std::string text(link.substr(prefix.size()));
    if (text.find_first_of("+/=") != std::string::npos || text.size() % 4 == 1) return std::nullopt;
    std::string data = text;
    std::replace(data.begin(), data.end(), '-', '+');
    std::replace(data.begin(), data.end(), '_', '/');
    data.append((4 - data.size() % 4) % 4, '=');
    auto bytes = Base64::decode(data);
    // Only the one encoding the host makes is accepted: no stray bits in the last character
    // that a lenient decoder would drop, no bytes beyond the JSON.
    if (!bytes || urlSafeBase64(*bytes) != text) return std::nullopt;
    // JSON text never holds a raw NUL byte, and the JSON reader would stop at one and take
    // what came before it for the whole document.
    if (std::find(bytes->begin(), bytes->end(), 0) != bytes->end()) return std::nullopt;
    return PairingInvitation::decode(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

}  // namespace caldrovex
