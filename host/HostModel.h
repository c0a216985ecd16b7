#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/Admission.h"
#include "host/CaptureControl.h"
#include "host/CaptureState.h"
#include "host/ConnectionIntake.h"
#include "host/CurtainControl.h"
#include "host/DirectListeners.h"
#include "host/HostController.h"
#include "host/HostEnvironment.h"
#include "host/HostPublished.h"
#include "host/RelayControl.h"
#include "host/Session.h"
#include "platform/net/Connection.h"
#include "protocol/ControlMessage.h"
#include "protocol/PacketConnection.h"
#include "trust/DeviceRegistry.h"
#include "trust/HostIdentity.h"
#include "trust/SecureStore.h"

namespace caldrovex {

// The host controller: owns the identity and the device registry, turns sharing on and off,
// keeps one TLS listener per private address, takes in accepted connections under the
// intake's limits, admits one device at a time into a session, makes pairing invitations,
// and publishes its state for the interface.
//
// Contract:
// - Created with `create` on the main queue, owned through std::shared_ptr by the shell, and
//   used only on the main queue. Every operation below must be called there (debug builds
//   check it).
// - Work arriving on other queues (listener and connection handlers) is posted to the main
//   queue and holds the controller weakly; dropping the last owner ends all of it. Delayed
//   work (the 3-second tick, admission deadlines, delayed cancels) does the same.
// - `onChange` runs on the main queue after an operation (or a queued event) changed the
//   published state, at most once per operation, with no lock held. It may read the state
//   and call operations; it must not destroy the controller.
// - The environment's components must outlive the controller.
//
// The parts live in their own files and own their state: admission of new connections
// (Admission), the running session with its messages and its end (Session), the capture
// with its warm hold (CaptureControl), the privacy curtain (CurtainControl), the making of
// invitations (Invitations), and the relay road with its bridge and agent (RelayControl). They
// talk back through HostController; the controller alone publishes what the host shows.
class HostModel : public std::enable_shared_from_this<HostModel>, private HostController {
public:
    // TCP port of every direct listener.
    static constexpr uint16_t port = 48725;
    // Housekeeping period: permissions, expiries, silence and address changes are noticed
    // within this long.
    static constexpr double kTickSeconds = 3;
    // A session without any control message for longer than this is over; devices ping
    // well within it.
    static constexpr double kSessionSilenceSeconds = 20;
    // How often the served addresses are compared with the machine's while sharing.
    static constexpr double kAddressRefreshSeconds = 6;

    // A copy of the controller's and its parts' inner state, for tests.
    struct DebugState {
        std::shared_ptr<const HostIdentity> identity;
        std::shared_ptr<const DeviceRegistry> registry;
        std::optional<std::string> relaySecret;
        // The relay road: the bridge, the agent, the keys it was last given.
        RelayControl::DebugState relay;
        std::vector<std::string> relayKeys;
        std::map<std::string, platform::net::ListenerPtr> listeners;
        // Pending connections: where each came from, and the attempts per remote host.
        std::map<std::string, ConnectionIntake::Source> pendingPeers;
        std::map<std::string, ConnectionIntake::Attempts> attempts;
        std::optional<Admission::RecentPairing> recentPairing;
        // The session; empty without one.
        std::shared_ptr<PacketConnection> activeConnection;
        std::optional<std::string> activeID;
        std::set<std::string> activeFeatures;
        bool streamReady = false;
        int sessionEpoch = 0;
        // Capture control.
        std::optional<CaptureState> capture;
        std::optional<std::string> warmDeviceID;
        CurtainControl::DebugState curtain;
    };

    // Creates the controller: reads the settings, loads the credentials without prompting,
    // schedules the tick, and starts sharing when the user left it on ("hostEnabled").
    // Throws std::invalid_argument when a required component of the environment is missing
    // (`computerName` and `loginItemEnabled` may be empty).
    static std::shared_ptr<HostModel> create(HostEnvironment environment);
    ~HostModel();

    HostModel(const HostModel&) = delete;
    HostModel& operator=(const HostModel&) = delete;

    // Called after each operation or event that changed `published()`.
    std::function<void()> onChange;
    // Called on the main queue when a connection's "pair" or "authenticate" is refused:
    // where it came from (an address, or "relay") and the sentence the device was sent.
    // Carries no secret. It must not destroy the controller.
    std::function<void(const std::string& peer, const std::string& reason)> onRefusal;
    const HostPublished& published() const override { return published_; }

    // Loads (or makes) the identity, the registry and the relay secret; on failure publishes
    // the error and keeps what was loaded before. `allowInteraction` lets the keyring ask
    // the user (the panel's retry).
    void loadCredentials(bool allowInteraction);
    // Turns sharing on (when the identity is loaded and it is off) and records the intent.
    void start();
    // Turns sharing off; without `preserveIntent` also records that the user wants it off.
    void stop(bool preserveIntent);
    // Brings the listeners in line with the addresses to serve (only while sharing).
    void refreshListeners();
    // The periodic housekeeping; runs by itself every 3 seconds.
    void tick();
    // Recomputes the status sentence (only while sharing).
    void updateStatus() override;

    // Addresses served before the private ones, in this order (for example a loopback
    // address given on the command line). Applied at once while sharing.
    void setExplicitAddresses(std::vector<std::string> addresses);

    // Settings: each stores its value and applies it.
    void setRelayEnabled(bool enabled);
    void setLocalNetworkEnabled(bool enabled);
    // `persist` false applies the value to this run only (a command-line option); the
    // published `controlSaved` tells whether the value shown is also the stored one.
    void setControlEnabled(bool enabled, bool persist = true);
    void setCurtainEnabled(bool enabled);

    // Makes the host start (or not) when the user logs in; a failure is published as the
    // error and leaves `loginEnabled` as it was.
    void setLogin(bool enabled);

    // Makes a new pairing invitation, replacing the open one, or publishes why it cannot.
    void makeInvitation();
    // Withdraws the open invitation (the panel's "Cancel").
    void cancelInvitation();
    // Removes a paired device, ending its session if it holds one.
    void revoke(const std::string& deviceID);

    // Takes in a new connection from a listener (`pool` = its address) or the relay bridge
    // (`pool` = "relay"); refused connections are cancelled without a reply.
    void accept(platform::net::ConnectionPtr connection, const std::string& pool) override;
    // Every control message of every connection, `id` being its intake id: the session's go
    // to the session, the others to admission.
    void handle(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                const std::string& id);
    // Ends the session (if any): optionally cancels its connection; `keepCaptureWarm` holds
    // the captured display for the same device's return. With no session it still stops a
    // capture nobody holds and recomputes the status.
    void endSession(bool cancelConnection, bool keepCaptureWarm) override;

    // The relay road's state (the agent's reports, or why it is off or unreachable):
    // published, and the status sentence recomputed.
    void relayStatusChanged(RelayStatus status) override;

    // Sharing is on.
    bool sharing() const override { return sharing_; }
    // The identity is loaded, so sharing can start.
    bool credentialsLoaded() const { return identity_ != nullptr; }
    // The device id of the running session.
    std::optional<std::string> activeDeviceID() const;
    // The SHA-256 of the host's certificate (what paired devices pin), hex; nullopt until
    // the identity is loaded.
    std::optional<std::string> certificateHash() const;

    DebugState debugState() const;

private:
    explicit HostModel(HostEnvironment environment);
    void initialize();

    // HostController: what the parts ask of the controller.
    std::shared_ptr<Session> session() const override { return session_; }
    void beginSession(std::shared_ptr<PacketConnection> channel, const std::string& id,
                      const std::string& deviceID, const std::set<std::string>& features) override;
    bool controlPermitted() const override;
    void applyCurtain() override { curtain_->applyCurtain(); }
    std::string computerName() const override;
    void addRelayFields(ControlMessage& reply, const std::string& deviceID) const override;
    void shareInvitation(const std::shared_ptr<PacketConnection>& channel) override;
    void devicePaired() override;
    void connectionRefused(const std::string& peer, const std::string& reason) override;
    void syncRelayKeys() override;
    std::optional<std::string> recentPairingHash() const override;
    platform::net::Parameters listenerParameters() const override;
    void bridgeReady() override;
    void showError(const std::string& text) override;
    // Published-state notification: every entry point holds a change scope; the outermost
    // one calls `onChange` when the state differs from what it was on entry.
    void beginChange() override;
    void endChange() override;

    std::weak_ptr<HostModel> weak() { return weak_from_this(); }
    double now() const { return environment_.clock->monotonic(); }

    void scheduleTick();
    void listen(const std::string& address);
    // A listener became ready, failed or paused: publishes what that changes.
    void listenersChanged();
    std::vector<std::string> addressesToServe() const;

    void connectionClosed(const std::string& id);
    void firstMessageDeadline(const std::string& id);
    void admissionDeadline(const std::string& id);

    void setInvitation(std::optional<PairingInvitation> invitation);
    void setDevices(std::vector<TrustedDevice> devices);

    HostEnvironment environment_;
    SecureStore store_;
    HostPublished published_;
    int changeDepth_ = 0;
    std::optional<HostPublished> changeStart_;

    // Credentials (the relay secret is the relay control's).
    std::shared_ptr<const HostIdentity> identity_;
    std::shared_ptr<DeviceRegistry> registry_;

    // Sharing and listeners.
    bool sharing_ = false;
    std::vector<std::string> explicitAddresses_;
    std::shared_ptr<DirectListeners> listeners_;
    // The listeners' notice last published as the error.
    std::optional<std::string> listenerNotice_;
    double lastAddressRefresh_;

    // Connections not yet admitted.
    ConnectionIntake intake_;

    // The parts. Capture and curtain control outlive sessions; the session exists while a
    // device is admitted; relay control keeps the bridge and the relay agent.
    Admission admission_;
    std::shared_ptr<CaptureControl> capture_;
    std::shared_ptr<CurtainControl> curtain_;
    std::shared_ptr<Session> session_;
    std::shared_ptr<RelayControl> relay_;
};

}  // namespace caldrovex
