#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/CaptureState.h"
#include "host/CaptureTask.h"
#include "host/ConnectionIntake.h"
#include "host/HostEnvironment.h"
#include "host/HostPublished.h"
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
//   used only on the main queue. Every operation below must be called there.
// - Work arriving on other queues (listener and connection handlers) is posted to the main
//   queue and holds the controller weakly; dropping the last owner ends all of it. Delayed
//   work (the 3-second tick, admission deadlines, delayed cancels) does the same.
// - `onChange` runs on the main queue after an operation (or a queued event) changed the
//   published state, at most once per operation, with no lock held. It may read the state
//   and call operations; it must not destroy the controller.
// - The environment's components must outlive the controller.
//
// The pieces live in their own files: admission of new connections (Admission), the session's
// messages and its end (Session), invitations and revocation (Invitations), the bookkeeping
// of pending connections (ConnectionIntake).
class HostModel : public std::enable_shared_from_this<HostModel> {
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
    // A refused or busy device gets this long to read its reply before the connection goes.
    static constexpr double kReplyGraceSeconds = 0.2;
    // How long a device whose "paired" reply was lost may pair again with the same secret.
    static constexpr double kRecentPairingSeconds = 60;
    // Lifetime of a pairing invitation.
    static constexpr double kInvitationSeconds = 300;

    // The last successful pairing, kept so that a device whose reply was lost gets the same
    // token again (Admission).
    struct RecentPairing {
        std::string secretHash;
        std::string deviceID;
        std::string token;
        double expiresAt = 0;  // monotonic seconds
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
    const HostPublished& published() const { return published_; }

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
    void updateStatus();

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
    void accept(platform::net::ConnectionPtr connection, const std::string& pool);
    // Every control message of every connection, `id` being its intake id.
    void handle(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                const std::string& id);
    // Ends the session (if any): optionally cancels its connection; `keepCaptureWarm` holds
    // the captured display for the same device's return.
    void endSession(bool cancelConnection, bool keepCaptureWarm);

    // The relay road. Until the relay agent exists these keep `relayStatus` off.
    void openBridge();
    void closeBridge();
    void restartRelay();
    void syncRelayKeys();
    // The relay agent's status report (on the main queue): published, and the status
    // sentence recomputed.
    void relayStatusChanged(RelayStatus status);

    // Read-only views for the shell, the headless host and tests.
    bool sharing() const { return sharing_; }
    const HostIdentity* identity() const { return identity_.get(); }
    const DeviceRegistry* registry() const { return registry_.get(); }
    const std::optional<std::string>& relaySecret() const { return relaySecret_; }
    const RelayEndpoint& relayEndpoint() const { return environment_.relayEndpoint; }
    const ConnectionIntake& intake() const { return intake_; }
    const std::map<std::string, platform::net::ListenerPtr>& listeners() const {
        return listeners_;
    }
    const std::shared_ptr<PacketConnection>& activeConnection() const { return active_; }
    const std::optional<std::string>& activeID() const { return activeID_; }
    const std::optional<std::string>& activeDeviceID() const { return activeDeviceID_; }
    const std::set<std::string>& activeFeatures() const { return activeFeatures_; }
    const std::optional<std::string>& warmDeviceID() const { return warmDeviceID_; }
    const std::optional<CaptureState>& capture() const { return capture_; }
    bool streamReady() const { return streamReady_; }
    const std::optional<RecentPairing>& recentPairing() const { return recentPairing_; }
    const std::string& bridgePath() const { return bridgePath_; }
    int sessionEpoch() const { return sessionEpoch_; }

private:
    friend class Admission;
    friend class Invitations;
    friend class Session;
    friend class StreamStart;

    explicit HostModel(HostEnvironment environment);
    void initialize();

    // Published-state notification: every entry point holds one of these; the outermost
    // one calls `onChange` when the state differs from what it was on entry.
    class ChangeScope {
    public:
        explicit ChangeScope(HostModel& host);
        ~ChangeScope();
        ChangeScope(const ChangeScope&) = delete;
        ChangeScope& operator=(const ChangeScope&) = delete;

    private:
        HostModel& host_;
        std::optional<HostPublished> before_;
    };

    std::weak_ptr<HostModel> weak() { return weak_from_this(); }
    double now() const { return environment_.clock->monotonic(); }

    void scheduleTick();
    void loadRelaySecret(const std::string& hostID, bool allowInteraction,
                         std::optional<std::string>& secret);
    platform::net::Parameters listenerParameters() const;
    void listen(const std::string& address);
    void dropListener(const std::string& address);
    void listenerState(const std::string& address, const platform::net::ListenerPtr& listener,
                       const platform::net::State& state);
    std::vector<std::string> addressesToServe() const;

    void connectionClosed(const std::string& id);
    void admissionDeadline(const std::string& id);

    // Whether remote control is permitted now: the setting, a ready stream, and the
    // platform's injection permission.
    bool controlPermitted();
    // The computer's name for devices, "This computer" when the system has none.
    std::string computerName() const;
    // "host:port" of the relay and the device's rendezvous key, when the relay is on and a
    // secret exists.
    void addRelayFields(ControlMessage& message, const std::string& deviceID) const;
    void setRecentPairing(std::optional<RecentPairing> pairing);
    void setInvitation(std::optional<PairingInvitation> invitation);
    void setDevices(std::vector<TrustedDevice> devices);
    void notice(const std::shared_ptr<PacketConnection>& channel, const std::string& text);

    HostEnvironment environment_;
    SecureStore store_;
    HostPublished published_;
    int changeDepth_ = 0;

    // Credentials.
    std::shared_ptr<const HostIdentity> identity_;
    std::unique_ptr<DeviceRegistry> registry_;
    std::optional<std::string> relaySecret_;

    // Sharing and listeners.
    bool sharing_ = false;
    std::vector<std::string> explicitAddresses_;
    std::map<std::string, platform::net::ListenerPtr> listeners_;
    double lastAddressRefresh_;

    // Relay road (the agent arrives with the relay).
    platform::net::ListenerPtr bridgeListener_;
    bool bridgeReady_ = false;
    std::string bridgePath_;
    bool relayKeysScheduled_ = false;

    // Connections and the session.
    ConnectionIntake intake_;
    std::shared_ptr<PacketConnection> active_;
    std::optional<std::string> activeID_;
    std::optional<std::string> activeDeviceID_;
    std::set<std::string> activeFeatures_;
    double lastMessage_;
    int sessionEpoch_ = 0;
    bool streamReady_ = false;
    std::optional<std::string> warmDeviceID_;
    // The newest link of the chain of capture starts and stops.
    std::shared_ptr<CaptureTask> captureTask_;
    // The running capture's settings; absent while nothing is captured.
    std::optional<CaptureState> capture_;
    // Names the current warm hold; an older hold's expiry finds it changed and does nothing.
    std::string warmToken_;
    // Power assertion ids, 0 when not held.
    uint32_t sleepAssertion_ = 0;
    uint32_t displaySleepAssertion_ = 0;

    std::optional<RecentPairing> recentPairing_;
};

}  // namespace caldrovex
