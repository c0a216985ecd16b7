#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Invitations.h"
#include "platform/Clock.h"
#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "protocol/ControlMessage.h"
#include "reach/RelayAgent.h"
#include "reach/RelayConfiguration.h"
#include "trust/SecureStore.h"

namespace caldrovex {

class HostController;

// The host's side of the relay road. Owns the relay secret from which every relay key
// derives; the bridge, a TLS listener on a unix socket in the user's private runtime folder
// into which the agent splices every relayed device (whose connections then join the intake
// like direct ones, in the pool "relay"); and the relay agent, rebuilt whenever one of its
// preconditions changes and fed the host keys as they change.
//
// Where the relay is comes from the configuration (environment, settings file, build
// default). With none configured, or a configured value that does not read, the road is
// treated as unreachable from the start: no bridge, no agent, devices are told of no relay,
// and the status gives the reason. A bridge that cannot be opened is reported the same way.
//
// Contract: made with `make` and owned by the controller for its whole life, on its main
// queue. The bridge's handlers and the agent's status reports hop to the main queue and
// hold this object weakly; a status from an agent that has since been replaced is dropped.
class RelayControl : public std::enable_shared_from_this<RelayControl> {
public:
    static constexpr const char* kPrivateFolderMessage =
        "Orvelo Connect needs a private temporary folder for this user.";
    // A unix socket path must fit the socket address with room to spare on every system.
    static constexpr size_t kMaxBridgePathBytes = 99;
    static constexpr const char* kBridgeQueueLabel = "caldrovex.listener.relay";
    static constexpr const char* kSecretAccountPrefix = "relay-secret-";

    // Makes the (unstarted) agent for the relay at `endpoint` that splices into the bridge
    // at `bridgePath`.
    using AgentFactory = std::function<std::shared_ptr<RelayAgent>(const RelayEndpoint& endpoint,
                                                                   const std::string& bridgePath)>;

    struct Setup {
        platform::QueuePtr mainQueue;
        platform::ClockPtr clock;
        std::function<platform::QueuePtr(const std::string& label)> makeQueue;
        std::function<platform::net::ListenerPtr(const platform::net::Parameters&)> makeListener;
        AgentFactory makeAgent;
        std::string bridgePath;
        RelayConfiguration configuration;
    };

    static std::shared_ptr<RelayControl> make(HostController& controller, Setup setup);
    // Closes the bridge and stops the agent.
    ~RelayControl();

    RelayControl(const RelayControl&) = delete;
    RelayControl& operator=(const RelayControl&) = delete;

    // ---- The relay secret
    // The secret stored for `hostID`, or a new one stored in its place when there is none
    // (or it is unusable). Throws what the store throws.
    static std::string loadSecret(const SecureStore& store, const std::string& hostID,
                                  bool allowInteraction);
    void setSecret(std::string secret) { secret_ = std::move(secret); }
    const std::optional<std::string>& secret() const { return secret_; }

    // ---- What devices are told
    // The relay a device may use: present while the relay is on, configured and a secret
    // exists. Refers into this object.
    std::optional<Invitations::Relay> offer() const;
    // Why no relay is offered although the user has the relay on; nullopt when one is.
    std::optional<std::string> unavailableReason() const;
    // Adds "relay" and the device's rendezvous value to a "paired" or "hello" reply.
    void addRelayFields(ControlMessage& reply, const std::string& deviceID) const;

    // ---- The bridge and the agent
    bool hasBridge() const { return bridgeListener_ != nullptr; }
    // Opens the bridge (while there is none), after checking its folder.
    void openBridge();
    void closeBridge();
    // Stops the agent and, when every precondition holds, starts a new one with the
    // current keys; otherwise publishes why the relay is off or unreachable.
    void restartRelay();
    // The host keys, in the order the agent registers them: each trusted device's, the open
    // invitation's, the recent pairing's.
    std::vector<std::string> relayKeys() const;
    // Hands the agent the current keys once the main queue's current turn is over, however
    // many changes ask for it before then.
    void syncRelayKeys();
    // Sharing stops: the bridge closes, the agent stops, the road is off.
    void stop();

    struct DebugState {
        platform::net::ListenerPtr bridgeListener;
        bool bridgeReady = false;
        std::shared_ptr<RelayAgent> agent;
        bool keysScheduled = false;
    };
    DebugState debugState() const;

private:
    RelayControl(HostController& controller, Setup setup);

    void bridgeState(const platform::net::ListenerPtr& listener, const platform::net::State& state);
    void agentStatus(const std::weak_ptr<RelayAgent>& agent, RelayStatus status);
    // Why the road is unreachable before any agent runs: no relay configured, or no bridge.
    std::optional<std::string> blockedReason() const;
    void stopAgent();

    HostController& controller_;
    const Setup setup_;
    std::optional<std::string> secret_;
    platform::net::ListenerPtr bridgeListener_;
    bool bridgeReady_ = false;
    // Why the last attempt to open the bridge failed; cleared by the next that succeeds.
    std::optional<std::string> bridgeProblem_;
    std::shared_ptr<RelayAgent> agent_;
    bool keysScheduled_ = false;
};

}  // namespace caldrovex
