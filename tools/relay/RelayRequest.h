#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reach/RelayLink.h"

namespace caldrovex::relay {

// The one line a link sends when it arrives: "CALDROVEX/2 HOST <key> <key>…" from a host,
// "CALDROVEX/2 DEVICE <rendezvous>" from a device (the line feed already taken off). Keys
// are 64 lower-case hexadecimal digits separated by single spaces; a host registers up to
// kMaxKeys of them (one per trusted device and two for pairings fit with room to spare), a
// device exactly one. Pure; callable from any thread.
struct RelayRequest {
    static constexpr size_t kMaxKeys = 128;
    // The longest line accepted, line feed included.
    static constexpr size_t kMaxLine = 12 + 7 + kMaxKeys * 65;

    RelayLink::Role role = RelayLink::Role::host;
    std::vector<std::string> keys;

    // The request, or nullopt when the line is not one.
    static std::optional<RelayRequest> parse(std::string_view line);
};

}  // namespace caldrovex::relay
