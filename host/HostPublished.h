#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol/PairingInvitation.h"
#include "reach/RelayStatus.h"
#include "trust/TrustedDevice.h"

namespace caldrovex {

// What the host controller shows: the fields the panel (or the headless printer) observes.
// A plain value; HostModel keeps one and calls its `onChange` whenever it differs from what
// it was when the current operation began.
struct HostPublished {
    static constexpr const char* kSharingOff = "Sharing is off";

    // A listener (or the bridge) reported ready since sharing started.
    bool running = false;
    // The addresses served now, best first.
    std::vector<std::string> addresses;
    RelayStatus relayStatus;
    // Settings, read at creation: "relayEnabled" defaults to true, the others to false.
    bool relayEnabled = true;
    bool localNetworkEnabled = false;
    // The status sentence.
    std::string status = kSharingOff;
    // The last failure to show, when any.
    std::optional<std::string> error;
    // The open pairing invitation.
    std::optional<PairingInvitation> invitation;
    // A copy of the registry's list.
    std::vector<TrustedDevice> devices;
    // Name of the device in session.
    std::optional<std::string> activeDevice;
    bool controlEnabled = false;
    // Whether `controlEnabled` is also the stored setting (false while a value given for
    // this run only differs from it).
    bool controlSaved = true;
    bool curtainEnabled = false;
    // Why the curtain cannot be shown on this desktop (whatever the setting says); nullopt
    // when it can.
    std::optional<std::string> curtainUnavailable;
    // The host starts at login.
    bool loginEnabled = false;
    // Screen capture and event injection are possible.
    bool screenPermission = false;
    bool accessibilityPermission = false;

    bool operator==(const HostPublished&) const = default;
};

}  // namespace caldrovex
