#include "host/RelayControl.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <nlohmann/json.hpp>

#include "host/ConnectionIntake.h"
#include "host/HostController.h"
#include "platform/PrivateFolder.h"

namespace caldrovex {

using platform::net::State;
using platform::net::StateKind;

namespace {

bool isValidUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        // The only error dump raises: a string that is not valid UTF-8.
        return false;
    }
}

}  // namespace

std::shared_ptr<RelayControl> RelayControl::make(HostController& controller, Setup setup) {
    return std::shared_ptr<RelayControl>(new RelayControl(controller, std::move(setup)));
}

RelayControl::RelayControl(HostController& controller, Setup setup)
    : controller_(controller), setup_(std::move(setup)) {}

RelayControl::~RelayControl() {
    closeBridge();
    stopAgent();
}

// ---- The relay secret ----

std::string RelayControl::loadSecret(const SecureStore& store, const std::string& hostID,
                                     bool allowInteraction) {
    const std::string account = kSecretAccountPrefix + hostID;
    auto stored = store.read(account, allowInteraction);
    // The secret keys every relay registration; an empty one would make them guessable, so
    // it is replaced like a missing one. Random tokens are ASCII, hence valid UTF-8.
    if (stored && !stored->empty() && isValidUtf8(*stored)) return *stored;
    std::string fresh = SecureStore::randomToken();
    store.write(fresh, account);
    return fresh;
}

// ---- What devices are told ----

std::optional<Invitations::Relay> RelayControl::offer() const {
    const auto& endpoint = setup_.configuration.endpoint;
    if (!controller_.published().relayEnabled || !secret_ || !endpoint) return std::nullopt;
    return Invitations::Relay{*endpoint, *secret_};
}

std::optional<std::string> RelayControl::unavailableReason() const {
    if (!controller_.published().relayEnabled) return std::nullopt;
    return setup_.configuration.reason();
}

void RelayControl::addRelayFields(ControlMessage& reply, const std::string& deviceID) const {
    auto relay = offer();
    if (!relay) return;
    reply.relay = relay->endpoint.address();
    reply.relayKey =
        RelayEndpoint::rendezvous(RelayEndpoint::hostKey(relay->secret, "device\n" + deviceID));
}

// ---- The bridge ----

void RelayControl::openBridge() {
    // Without a relay nothing would ever splice into the bridge.
    if (bridgeListener_ || !setup_.configuration.endpoint) return;
    auto fail = [this](const std::string& why) {
        controller_.showError(why);
        if (bridgeProblem_ == why) return;
        bridgeProblem_ = why;
        restartRelay();
    };
    const std::filesystem::path path(setup_.bridgePath);
    try {
        // Anyone who could reach the socket could talk to the host as a relayed device.
        if (platform::PrivateFolder::check(path.parent_path()) !=
                platform::PrivateFolder::Verdict::isPrivate ||
            setup_.bridgePath.size() > kMaxBridgePathBytes)
            return fail(kPrivateFolderMessage);
    } catch (const std::system_error& error) {
        return fail(error.what());
    }
    platform::net::ListenerPtr listener;
    try {
        auto parameters = controller_.listenerParameters();
        parameters.requiredLocalEndpoint = platform::net::UnixPath{setup_.bridgePath};
        listener = setup_.makeListener(parameters);
    } catch (const std::exception& error) {
        // Parameter and socket failures alike are shown, as for the direct listeners.
        return fail(error.what());
    }
    auto queue = setup_.mainQueue;
    std::weak_ptr<RelayControl> weak = weak_from_this();
    listener->setNewConnectionHandler([weak, queue](platform::net::ConnectionPtr connection) {
        queue->post([weak, connection] {
            if (auto self = weak.lock())
                self->controller_.accept(connection, ConnectionIntake::kRelayPool);
        });
    });
    std::weak_ptr<platform::net::Listener> weakListener = listener;
    listener->setStateHandler([weak, queue, weakListener](const State& state) {
        queue->post([weak, weakListener, state] {
            auto self = weak.lock();
            auto listener = weakListener.lock();
            if (self && listener) self->bridgeState(listener, state);
        });
    });
    bridgeListener_ = listener;
    listener->start(setup_.makeQueue(kBridgeQueueLabel));
}

void RelayControl::bridgeState(const platform::net::ListenerPtr& listener, const State& state) {
    if (listener != bridgeListener_) return;
    HostController::ChangeScope scope(controller_);
    if (state.kind == StateKind::waiting || state.kind == StateKind::failed) {
        // A bridge that cannot listen is the reason the relay cannot be reached; the next
        // listener refresh tries a new one.
        if (state.error) bridgeProblem_ = state.error->description;
        closeBridge();
        restartRelay();
    } else if (state.kind == StateKind::ready) {
        bridgeReady_ = true;
        bridgeProblem_.reset();
        controller_.bridgeReady();
        restartRelay();
    }
}

void RelayControl::closeBridge() {
    if (bridgeListener_) {
        bridgeListener_->setStateHandler({});
        bridgeListener_->setNewConnectionHandler({});
        // The listener removes the socket file it made, and no other.
        bridgeListener_->cancel();
        bridgeListener_.reset();
    }
    bridgeReady_ = false;
}

// ---- The agent ----

std::optional<std::string> RelayControl::blockedReason() const {
    if (auto reason = setup_.configuration.reason()) return reason;
    return bridgeProblem_;
}

void RelayControl::restartRelay() {
    HostController::ChangeScope scope(controller_);
    stopAgent();
    if (!controller_.sharing() || !controller_.published().relayEnabled)
        return controller_.relayStatusChanged(RelayStatus::off());
    // Nothing to wait for: say why at once.
    if (auto reason = blockedReason())
        return controller_.relayStatusChanged(RelayStatus::unreachable(*reason));
    if (!secret_ || !bridgeReady_) return controller_.relayStatusChanged(RelayStatus::off());

    auto agent = setup_.makeAgent(*setup_.configuration.endpoint, setup_.bridgePath);
    auto queue = setup_.mainQueue;
    std::weak_ptr<RelayControl> weak = weak_from_this();
    std::weak_ptr<RelayAgent> weakAgent = agent;
    agent->onStatus = [weak, weakAgent, queue](RelayStatus status) {
        queue->post([weak, weakAgent, status = std::move(status)] {
            if (auto self = weak.lock()) self->agentStatus(weakAgent, status);
        });
    };
    // The agent works in call order: the keys are in place before it starts, so it reports
    // `connecting` (or `idle` without keys) straight away.
    agent->update(relayKeys());
    agent_ = agent;
    agent->start();
}

void RelayControl::agentStatus(const std::weak_ptr<RelayAgent>& agent, RelayStatus status) {
    // An agent stopped or replaced meanwhile has nothing more to say about the road.
    if (agent.lock() != agent_ || !agent_) return;
    HostController::ChangeScope scope(controller_);
    controller_.relayStatusChanged(std::move(status));
}

void RelayControl::stopAgent() {
    if (!agent_) return;
    agent_->stop();
    agent_.reset();
}

void RelayControl::stop() {
    HostController::ChangeScope scope(controller_);
    closeBridge();
    stopAgent();
    bridgeProblem_.reset();
    controller_.relayStatusChanged(RelayStatus::off());
}

// ---- Keys ----

std::vector<std::string> RelayControl::relayKeys() const {
    std::vector<std::string> keys;
    if (!secret_) return keys;
    const auto& published = controller_.published();
    for (const auto& device : published.devices)
        keys.push_back(RelayEndpoint::hostKey(*secret_, "device\n" + device.id));
    if (published.invitation && published.invitation->expiresAt > setup_.clock->wall())
        keys.push_back(RelayEndpoint::pairingKey(*secret_, published.invitation->secret));
    // The device that just paired reconnects right after, possibly with the invitation gone.
    if (auto hash = controller_.recentPairingHash())
        keys.push_back(RelayEndpoint::hostKey(*secret_, "pairing\n" + *hash));
    return keys;
}

void RelayControl::syncRelayKeys() {
    if (keysScheduled_) return;
    keysScheduled_ = true;
    setup_.mainQueue->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->keysScheduled_ = false;
        if (self->agent_) self->agent_->update(self->relayKeys());
    });
}

RelayControl::DebugState RelayControl::debugState() const {
    return DebugState{bridgeListener_, bridgeReady_, agent_, keysScheduled_};
}

}  // namespace caldrovex
