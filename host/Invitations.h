#pragma once

#include <memory>
#include <string>

namespace caldrovex {

class HostModel;
class PacketConnection;

// Pairing invitations and the removal of paired devices.
//
// An invitation is short-lived and single-use: it tells a device where the host can be
// reached (private addresses, and the relay when it is on), which certificate to pin, and
// the secret that proves the user at this computer meant to pair it. A later invitation
// replaces it; a pairing with it, its expiry (noticed by the tick) or stopping sharing ends it.
//
// Part of HostModel, on its main queue; reads and writes the host's fields.
class Invitations {
public:
    Invitations() = delete;

    static constexpr const char* kSharingOff = "Turn on sharing before pairing a device.";
    static constexpr const char* kNoRoad =
        "Connect a VPN such as Tailscale, or turn on Orvelo Connect, before pairing.";
    static constexpr const char* kInviteNotAllowed =
        "Allow remote control in Orvelo Host to pair another device from here.";
    static constexpr const char* kNoCode = "This computer could not create a pairing code.";

    // Publishes a new invitation, or sets the host's error saying why there is none.
    static void make(HostModel& host);
    // Answers a session device's "invite" with the link of a new invitation, or a notice.
    static void share(HostModel& host, const std::shared_ptr<PacketConnection>& channel);
    // Removes the device from the registry and ends its session if it holds one.
    static void revoke(HostModel& host, const std::string& deviceID);
};

}  // namespace caldrovex
