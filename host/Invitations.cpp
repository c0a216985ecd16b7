#include "host/Invitations.h"

#include <chrono>

#include "host/HostModel.h"
#include "host/InvitationLink.h"

namespace caldrovex {

void Invitations::make(HostModel& host) {
    if (!host.published_.running || !host.identity_) {
        host.published_.error = kSharingOff;
        return;
    }
    host.setRecentPairing(std::nullopt);

    PairingInvitation invitation;
    invitation.version = 1;
    invitation.hostID = host.identity_->hostID();
    invitation.name = host.computerName();
    const auto& addresses = host.published_.addresses;
    invitation.address = addresses.empty() ? std::string() : addresses.front();
    invitation.port = HostModel::port;
    invitation.certificateHash = host.identity_->certificateHash();
    try {
        invitation.secret = SecureStore::randomToken();
    } catch (const CaldrovexError& error) {
        host.published_.error = error.what();
        return;
    }
    invitation.expiresAt = host.environment_.clock->wall() +
                           std::chrono::duration_cast<PairingInvitation::Date::duration>(
                               std::chrono::duration<double>(HostModel::kInvitationSeconds));
    if (addresses.size() > 1) invitation.addresses = addresses;
    if (host.published_.relayEnabled && host.relaySecret_) {
        const auto& relay = host.environment_.relayEndpoint;
        invitation.relay = relay.host + ":" + std::to_string(relay.port);
        invitation.relayKey = RelayEndpoint::rendezvous(
            RelayEndpoint::pairingKey(*host.relaySecret_, invitation.secret));
    }
    if (invitation.address.empty() && !invitation.relay) {
        host.published_.error = kNoRoad;
        return;
    }
    // Replacing the invitation voids the earlier one; the relay learns the new key.
    host.setInvitation(std::move(invitation));
}

void Invitations::share(HostModel& host, const std::shared_ptr<PacketConnection>& channel) {
    if (!host.controlPermitted()) return host.notice(channel, kInviteNotAllowed);
    make(host);
    const auto& invitation = host.published_.invitation;
    auto link = invitation ? InvitationLink::make(*invitation) : std::nullopt;
    if (link) {
        auto reply = ControlMessage::make("invitation");
        reply.text = *link;
        channel->send(reply);
        return;
    }
    const auto& error = host.published_.error;
    host.notice(channel, error && !error->empty() ? *error : kNoCode);
}

void Invitations::revoke(HostModel& host, const std::string& deviceID) {
    if (host.registry_) {
        try {
            host.registry_->revoke(deviceID);
        } catch (const CaldrovexError& error) {
            // The list shown below is refreshed from the registry, which kept the device.
            host.published_.error = error.what();
        }
    }
    host.setDevices(host.registry_ ? host.registry_->devices() : std::vector<TrustedDevice>{});
    if (host.recentPairing_ && host.recentPairing_->deviceID == deviceID)
        host.setRecentPairing(std::nullopt);
    if (host.activeDeviceID_ == deviceID) host.endSession(true, false);
}

}  // namespace caldrovex
