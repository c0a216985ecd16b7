#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "host/HostPublished.h"
#include "platform/net/Connection.h"
#include "platform/net/Parameters.h"
#include "protocol/ControlMessage.h"
#include "reach/RelayStatus.h"

namespace caldrovex {

class PacketConnection;
class Session;

// What the parts of the host controller (admission, the session, capture and curtain control)
// ask of the controller itself. HostModel implements it and owns every part; a part keeps a
// reference and never outlives it. All of it runs on the controller's main queue.
//
// The controller alone changes what the host shows (`HostPublished`) and holds the session:
// a part reads the published state, and reports what changed through the calls below.
class HostController {
public:
    // Brackets work that a part runs on its own (a queued continuation, a timer) rather than
    // inside a call from the controller, so that what it changes is announced once at the
    // end. Nests: only the outermost scope announces.
    class ChangeScope {
    public:
        explicit ChangeScope(HostController& controller) : controller_(controller) {
            controller_.beginChange();
        }
        ~ChangeScope() { controller_.endChange(); }
        ChangeScope(const ChangeScope&) = delete;
        ChangeScope& operator=(const ChangeScope&) = delete;

    private:
        HostController& controller_;
    };

    // What the host shows now (the open invitation, the served addresses, the settings).
    virtual const HostPublished& published() const = 0;

    // ---- The session
    // The running session; null when there is none.
    virtual std::shared_ptr<Session> session() const = 0;
    // Admission made a connection the session: the controller keeps it and shows its device.
    virtual void beginSession(std::shared_ptr<PacketConnection> channel, const std::string& id,
                              const std::string& deviceID,
                              const std::set<std::string>& features) = 0;
    // Ends the running session (if any): optionally cancels its connection; `keepCaptureWarm`
    // holds the captured display for the same device's return.
    virtual void endSession(bool cancelConnection, bool keepCaptureWarm) = 0;
    // Remote control is permitted now: the setting, a ready stream, and the platform's
    // injection permission.
    virtual bool controlPermitted() const = 0;
    // A stream started, restarted or failed: the curtain is brought in line with it.
    virtual void applyCurtain() = 0;

    // ---- What devices are told about the host
    // The computer's name, "This computer" when the system gives none.
    virtual std::string computerName() const = 0;
    // Adds "relay" (host:port) and the device's rendezvous key to a "paired" or "hello"
    // reply, when the relay is on and a relay secret exists.
    virtual void addRelayFields(ControlMessage& reply, const std::string& deviceID) const = 0;
    // Answers a session device's "invite" with a new invitation's link, or a notice.
    virtual void shareInvitation(const std::shared_ptr<PacketConnection>& channel) = 0;

    // ---- Changes the controller publishes
    // A device paired with the open invitation: the invitation is spent and the device list
    // is shown again.
    virtual void devicePaired() = 0;
    // The status sentence may have changed (a warm hold ended).
    virtual void updateStatus() = 0;
    // Something the relay keys derive from changed (the recent pairing); schedules one sync.
    virtual void syncRelayKeys() = 0;
    // A "pair" or "authenticate" was refused: where it came from (an address, or "relay")
    // and the sentence the device was sent. Carries no secret.
    virtual void connectionRefused(const std::string& peer, const std::string& reason) = 0;

    // ---- What the relay road asks
    // Sharing is on.
    virtual bool sharing() const = 0;
    // The secret hash of the last pairing, while that device may still pair with it again.
    virtual std::optional<std::string> recentPairingHash() const = 0;
    // TLS with the host identity, as every listener of the host uses it. Throws
    // CaldrovexError when the identity is not loaded or cannot be used.
    virtual platform::net::Parameters listenerParameters() const = 0;
    // A new connection for the intake: `pool` is the listener's address, or "relay".
    virtual void accept(platform::net::ConnectionPtr connection, const std::string& pool) = 0;
    // The bridge listens: the host can be reached, through the relay at least.
    virtual void bridgeReady() = 0;
    // A failure to show.
    virtual void showError(const std::string& text) = 0;
    // The relay road's state changed: shown, and the status sentence recomputed.
    virtual void relayStatusChanged(RelayStatus status) = 0;

protected:
    ~HostController() = default;

    virtual void beginChange() = 0;
    virtual void endChange() = 0;
};

}  // namespace caldrovex
