#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/PairingInvitation.h"

namespace caldrovex {

// The text form of a pairing invitation, as the panel shows it (link and QR code) and as a
// device reads it: "orvelo://pair?data=" followed by the invitation's JSON in Base64 made
// URL-safe ("+" → "-", "/" → "_", "=" removed), so it needs no percent-escaping anywhere.
//
// Pure; callable from any thread.
class InvitationLink {
public:
    static constexpr const char* kPrefix = "orvelo://pair?data=";

    // The link, or nullopt when the invitation cannot be encoded (a text that is not UTF-8).
    static std::optional<std::string> make(const PairingInvitation& invitation);

    // The invitation a link carries; nullopt unless the text is exactly the prefix followed
    // by URL-safe Base64 of a valid invitation's JSON.
    static std::optional<PairingInvitation> read(std::string_view link);

    // The QR code shows exactly the link.
    static std::optional<std::string> qrPayload(const PairingInvitation& invitation) {
        return make(invitation);
    }
};

}  // namespace caldrovex
