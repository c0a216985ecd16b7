#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace caldrovex {

// The payload of a pairing link: where the host is, which certificate it presents, the
// one-use secret and when the invitation expires. A plain value type; encode and decode are
// pure and callable from any thread.
//
// JSON form as for ControlMessage. The first eight fields are required keys; `addresses`,
// `relay` and `relayKey` are written only when present. `expiresAt` travels as seconds since
// 2001-01-01 00:00:00 UTC.
struct PairingInvitation {
    using Date = std::chrono::system_clock::time_point;

    int64_t version = 1;
    std::string hostID;
    std::string name;
    std::string address;
    uint16_t port = 0;
    std::string certificateHash;
    std::string secret;
    Date expiresAt;
    std::optional<std::vector<std::string>> addresses;
    std::optional<std::string> relay;
    std::optional<std::string> relayKey;

    bool operator==(const PairingInvitation&) const = default;

    // Compact JSON text; throws CaldrovexError when a string is not valid UTF-8.
    std::string encode() const;
    // nullopt when a required key is missing (or null), or a value is of the wrong kind or
    // out of range.
    static std::optional<PairingInvitation> decode(std::string_view json);
};

}  // namespace caldrovex
