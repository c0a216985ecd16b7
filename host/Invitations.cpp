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
        const auto& relay = host.relay->endpoint;
        invitation.relay = relay.host + ":" + std::to_string(relay.port);
        invitation.relayKey = RelayEndpoint::rendezvous(
            RelayEndpoint::pairingKey(host.relay->secret, invitation.secret));
    }
    if (invitation.address.empty() && !invitation.relay) throw CaldrovexError(kNoRoad);
    return invitation;
}

}  // namespace caldrovex
