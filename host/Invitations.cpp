#include "host/Invitations.h"

#include <chrono>

#include "platform/CaldrovexError.h"
#include "trust/SecureStore.h"

namespace caldrovex {

PairingInvitation Invitations::make(const Host& host) {
    PairingInvitation invitation;
    invitation.version = 1;
    invitation.hostID = host.identity.hostID();
    invitation.name = host.name;
    const auto& addresses = host.addresses;
    invitation.address = addresses.empty() ? std::string() : addresses.front();
    invitation.port = host.port;
    invitation.certificateHash = host.identity.certificateHash();
    invitation.secret = SecureStore::randomToken();
    invitation.expiresAt = host.now + std::chrono::duration_cast<PairingInvitation::Date::duration>(
                                          std::chrono::duration<double>(kLifetimeSeconds));
    if (addresses.size() > 1) invitation.addresses = addresses;
    if (host.relay) {
        invitation.relay = host.relay->endpoint.address();
        invitation.relayKey = RelayEndpoint::rendezvous(
            RelayEndpoint::pairingKey(host.relay->secret, invitation.secret));
    }
    if (invitation.address.empty() && !invitation.relay) {
        if (!host.relayUnavailable) throw CaldrovexError(kNoRoad);
        throw CaldrovexError(std::string(kNoRoad) + " " + *host.relayUnavailable);
    }
    return invitation;
}

}  // namespace caldrovex
