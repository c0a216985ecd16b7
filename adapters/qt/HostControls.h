#pragma once

#include <string>

#include "host/HostPublished.h"

namespace caldrovex::platform {

// What the panel reads and what its controls do: the host controller's published state and
// the operations behind each button and switch. The application implements it over the one
// HostModel; tests implement it with a fake state.
//
// Called on the main (GUI) thread only. An operation that changes the published state makes
// the owner refresh the panels (HostPanel::refresh); the panel also refreshes itself after
// each of its own actions, so a switch the host did not follow springs back.
class HostControls {
public:
    virtual ~HostControls() = default;

    virtual const HostPublished& published() const = 0;

    // "Start sharing" and "Stop sharing" (which also records that sharing is wanted off).
    virtual void startSharing() = 0;
    virtual void stopSharing() = 0;
    // "Retry secure credential access": loads the credentials again, letting the keyring ask.
    virtual void retryCredentials() = 0;
    // "Look for VPN addresses again".
    virtual void refreshListeners() = 0;

    virtual void setRelayEnabled(bool enabled) = 0;
    virtual void setLocalNetworkEnabled(bool enabled) = 0;
    virtual void setControlEnabled(bool enabled) = 0;
    virtual void setLogin(bool enabled) = 0;
    virtual void setCurtainEnabled(bool enabled) = 0;

    // "Pair device", "Cancel", "Revoke".
    virtual void makeInvitation() = 0;
    virtual void cancelInvitation() = 0;
    virtual void revoke(const std::string& deviceID) = 0;

    // "Quit": stops sharing, records that it is wanted off, and ends the application.
    virtual void quit() = 0;
};

}  // namespace caldrovex::platform
