#include "host/Admission.h"

#include <algorithm>

#include "host/HostController.h"
#include "host/Session.h"
#include "protocol/PacketConnection.h"
#include "trust/SecureStore.h"
#include "trust/Uuid.h"

namespace caldrovex {

namespace {

constexpr const char* kPairAgain = "Pair this device with the host again.";
constexpr const char* kNoLongerTrusted =
    "This device is no longer trusted. Pair it with this computer again.";
constexpr const char* kCodeExpired =
    "The pairing code expired or was already used. Create a new code on this computer.";
constexpr const char* kDefaultDeviceName = "My device";

std::optional<std::string> deviceName(const DeviceRegistry& registry, const std::string& id) {
    const auto& devices = registry.devices();
    auto found = std::find_if(devices.begin(), devices.end(),
                              [&](const TrustedDevice& device) { return device.id == id; });
    if (found == devices.end()) return std::nullopt;
    return found->name;
}

}  // namespace

Admission::Admission(HostController& controller, ConnectionIntake& intake,
                     platform::QueuePtr mainQueue, platform::ClockPtr clock)
    : controller_(controller),
      intake_(intake),
      mainQueue_(std::move(mainQueue)),
      clock_(std::move(clock)) {}

const std::vector<std::string>& Admission::hostFeatures() {
    static const std::vector<std::string> features{"frameAck", "warmResume"};
    return features;
}

void Admission::handle(const ControlMessage& message,
                       const std::shared_ptr<PacketConnection>& channel, const std::string& id,
                       const Credentials& credentials) {
    // A connection that is neither pending nor the session is being torn down; one that
    // was answered already waits for its cancel.
    if (!intake_.contains(id) || intake_.answered(id)) return;
    if (message.type != "pair" && message.type != "authenticate")
        return reject(channel, id, "authRejected", kPairAgain);
    if (!message.deviceID || !Uuid::isValid(*message.deviceID))
        return reject(channel, id, "authRejected", kPairAgain);
    // A device looking for another host.
    if (!message.hostID || *message.hostID != credentials.identity.hostID())
        return reject(channel, id, "authRejected", kPairAgain);

    if (message.type == "authenticate") {
        if (!message.token || !credentials.registry.accepts(*message.deviceID, *message.token))
            return reject(channel, id, "authRejected", kNoLongerTrusted);
    } else if (!pair(message, channel, id, credentials)) {
        return;
    }
    if (!makeRoom(message, channel, id, credentials.registry)) return;
    admit(message, channel, id, credentials);
}

std::optional<std::string> Admission::pair(const ControlMessage& message,
                                           const std::shared_ptr<PacketConnection>& channel,
                                           const std::string& id, const Credentials& credentials) {
    if (!message.secret) {
        reject(channel, id, "authRejected", kCodeExpired);
        return std::nullopt;
    }
    const std::string& deviceID = *message.deviceID;
    const std::string secretHash = SecureStore::hash(*message.secret);
    std::string token;
    const auto& recent = recentPairing_;
    if (recent && recent->deviceID == deviceID && recent->expiresAt > now() &&
        SecureStore::constantTimeEqual(recent->secretHash, secretHash)) {
        // The device lost the reply to its pairing: the same token again, the registry as is.
        token = recent->token;
    } else {
        const auto& invitation = controller_.published().invitation;
        if (!invitation || invitation->expiresAt <= clock_->wall() ||
            !SecureStore::constantTimeEqual(*message.secret, invitation->secret)) {
            reject(channel, id, "authRejected", kCodeExpired);
            return std::nullopt;
        }
        try {
            token = SecureStore::randomToken();
            credentials.registry.add(deviceID, message.deviceName.value_or(kDefaultDeviceName),
                                     token);
        } catch (const CaldrovexError& error) {
            // No token, or the registry refused the device (its limit, the keyring): the
            // invitation stays open.
            reject(channel, id, "error", error.what());
            return std::nullopt;
        }
        setRecentPairing(RecentPairing{secretHash, deviceID, token, now() + kRecentPairingSeconds});
        controller_.devicePaired();
    }

    auto paired = ControlMessage::make("paired");
    paired.hostID = credentials.identity.hostID();
    paired.name = controller_.computerName();
    paired.token = token;
    controller_.addRelayFields(paired, deviceID);
    channel->send(paired);
    return token;
}

bool Admission::makeRoom(const ControlMessage& message,
                         const std::shared_ptr<PacketConnection>& channel, const std::string& id,
                         const DeviceRegistry& registry) {
    auto current = controller_.session();
    if (!current) return true;
    const std::string& deviceID = *message.deviceID;
    if (current->deviceID() == deviceID) {
        // The same device came back on a new connection: the old one is stale.
        controller_.endSession(true, true);
        return true;
    }
    if (!message.takeover.value_or(false)) {
        const auto& name = controller_.published().activeDevice;
        auto busy = ControlMessage::make("busy");
        busy.deviceName = name;
        busy.message = "This computer is in use by " + name.value_or("another paired device") + ".";
        channel->send(busy);
        // The channel stays pending until its close removes it.
        delayedCancel(channel, id);
        return false;
    }
    auto newName = deviceName(registry, deviceID);
    auto takenOver = ControlMessage::make("takenOver");
    takenOver.deviceName = newName;
    takenOver.message = "Your session moved to " + newName.value_or("another device") + ".";
    // The finish closes the old connection once the message is out.
    current->channel()->finish(takenOver);
    controller_.endSession(false, false);
    return true;
}

void Admission::admit(const ControlMessage& message,
                      const std::shared_ptr<PacketConnection>& channel, const std::string& id,
                      const Credentials& credentials) {
    const std::string& deviceID = *message.deviceID;
    // No longer pending: the admission deadline finds nothing to cancel.
    intake_.remove(id);
    const auto features = message.features.value_or(std::vector<std::string>{});
    controller_.beginSession(channel, id, deviceID,
                             std::set<std::string>(features.begin(), features.end()));

    auto hello = ControlMessage::make("hello");
    hello.hostID = credentials.identity.hostID();
    hello.controlAllowed = controller_.controlPermitted();
    hello.features = hostFeatures();
    hello.addresses = controller_.published().addresses;
    controller_.addRelayFields(hello, deviceID);
    channel->send(hello);
}

void Admission::reject(const std::shared_ptr<PacketConnection>& channel, const std::string& id,
                       const std::string& type, const std::string& text) {
    auto reply = ControlMessage::make(type);
    reply.message = text;
    channel->send(reply);
    delayedCancel(channel, id);
    const auto& peers = intake_.pendingPeers();
    auto source = peers.find(id);
    controller_.connectionRefused(source == peers.end() ? "unknown" : source->second.peer, text);
}

void Admission::delayedCancel(const std::shared_ptr<PacketConnection>& channel,
                              const std::string& id) {
    intake_.markAnswered(id);
    // Holds the channel itself: the cancel must happen even if it is no longer tracked.
    mainQueue_->postAfter(kReplyGraceSeconds, [channel] { channel->cancel(); });
}

// ---- The recent pairing ----

void Admission::setRecentPairing(std::optional<RecentPairing> pairing) {
    recentPairing_ = std::move(pairing);
    controller_.syncRelayKeys();
}

void Admission::forgetPairing() {
    setRecentPairing(std::nullopt);
}

void Admission::forgetPairingOf(const std::string& deviceID) {
    if (recentPairing_ && recentPairing_->deviceID == deviceID) forgetPairing();
}

void Admission::forgetExpiredPairing() {
    if (recentPairing_ && recentPairing_->expiresAt <= now()) forgetPairing();
}

}  // namespace caldrovex
