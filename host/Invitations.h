#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/PairingInvitation.h"
#include "reach/RelayEndpoint.h"
#include "trust/HostIdentity.h"

namespace caldrovex {

// Makes pairing invitations.
//
// An invitation is short-lived and single-use: it tells a device where the host can be
// reached (private addresses, and the relay when it is on), which certificate to pin, and
// the secret that proves the user at this computer meant to pair it. The controller publishes
// it; a later invitation replaces it, and a pairing with it, its expiry (noticed by the tick)
// or stopping sharing ends it.
//
// Pure apart from the random secret; callable from any thread.
class Invitations {
public:
    static constexpr const char* kSharingOff = "Turn on sharing before pairing a device.";
    static constexpr const char* kNoRoad =
        "Connect a VPN such as Tailscale, or turn on Orvelo Connect, before pairing.";
    static constexpr const char* kInviteNotAllowed =
        "Allow remote control in Orvelo Host to pair another device from here.";
    static constexpr const char* kNoCode = "This computer could not create a pairing code.";
    // Lifetime of an invitation.
    static constexpr double kLifetimeSeconds = 300;

    // The relay road a device is told about.
    struct Relay {
        const RelayEndpoint& endpoint;
        const std::string& secret;
    };

    // What an invitation says about the host.
    struct Host {
        const HostIdentity& identity;
        // The computer's name.
        std::string name;
        // The served addresses, best first.
        const std::vector<std::string>& addresses;
        uint16_t port = 0;
        // Present when the relay is on and a relay secret exists.
        std::optional<Relay> relay;
        // Why no relay is offered although the user has it on (none configured, say).
        std::optional<std::string> relayUnavailable;
        PairingInvitation::Date now;
    };

    Invitations() = delete;

    // A new invitation with a fresh secret. Throws CaldrovexError with the sentence to show
    // when there is no way to reach the host (followed by `relayUnavailable`), or no random
    // secret can be made.
    static PairingInvitation make(const Host& host);
};

}  // namespace caldrovex
