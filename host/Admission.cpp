#include "host/Admission.h"

#include <algorithm>

#include "host/HostModel.h"
#include "host/Session.h"
#include "host/StreamStart.h"
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

const std::vector<std::string>& Admission::hostFeatures() {
    static const std::vector<std::string> features{"frameAck", "warmResume"};
    return features;
}

void Admission::handle(HostModel& host, const ControlMessage& message,
                       const std::shared_ptr<PacketConnection>& channel, const std::string& id) {
    // A connection that is neither pending nor the session is being torn down; one that
    // was answered already waits for its cancel.
    if (!host.intake_.contains(id) || host.intake_.answered(id)) return;
    if (!host.registry_ || !host.identity_) return;
    if (message.type != "pair" && message.type != "authenticate")
        return reject(host, channel, id, "authRejected", kPairAgain);
    if (!message.deviceID || !Uuid::isValid(*message.deviceID))
        return reject(host, channel, id, "authRejected", kPairAgain);
    // A device looking for another host.
    if (!message.hostID || *message.hostID != host.identity_->hostID())
        return reject(host, channel, id, "authRejected", kPairAgain);

    if (message.type == "authenticate") {
        if (!message.token || !host.registry_->accepts(*message.deviceID, *message.token))
            return reject(host, channel, id, "authRejected", kNoLongerTrusted);
    } else if (!pair(host, message, channel, id)) {
        return;
    }
    if (!makeRoom(host, message, channel, id)) return;
    admit(host, message, channel, id);
}

std::optional<std::string> Admission::pair(HostModel& host, const ControlMessage& message,
                                           const std::shared_ptr<PacketConnection>& channel,
                                           const std::string& id) {
    if (!message.secret) {
        reject(host, channel, id, "authRejected", kCodeExpired);
        return std::nullopt;
    }
    const std::string& deviceID = *message.deviceID;
    const std::string secretHash = SecureStore::hash(*message.secret);
    std::string token;
    const auto& recent = host.recentPairing_;
    if (recent && recent->deviceID == deviceID && recent->expiresAt > host.now() &&
        SecureStore::constantTimeEqual(recent->secretHash, secretHash)) {
        // The device lost the reply to its pairing: the same token again, the registry as is.
        token = recent->token;
    } else {
        const auto& invitation = host.published_.invitation;
        if (!invitation || invitation->expiresAt <= host.environment_.clock->wall() ||
            !SecureStore::constantTimeEqual(*message.secret, invitation->secret)) {
            reject(host, channel, id, "authRejected", kCodeExpired);
            return std::nullopt;
        }
        try {
            token = SecureStore::randomToken();
            host.registry_->add(deviceID, message.deviceName.value_or(kDefaultDeviceName), token);
        } catch (const CaldrovexError& error) {
            // No token, or the registry refused the device (its limit, the keyring): the
            // invitation stays open.
            reject(host, channel, id, "error", error.what());
            return std::nullopt;
        }
        host.setRecentPairing(HostModel::RecentPairing{
            secretHash, deviceID, token, host.now() + HostModel::kRecentPairingSeconds});
        // Single use: the invitation is spent.
        host.setInvitation(std::nullopt);
        host.setDevices(host.registry_->devices());
    }

    auto paired = ControlMessage::make("paired");
    paired.hostID = host.identity_->hostID();
    paired.name = host.computerName();
    paired.token = token;
    host.addRelayFields(paired, deviceID);
    channel->send(paired);
    return token;
}

bool Admission::makeRoom(HostModel& host, const ControlMessage& message,
                         const std::shared_ptr<PacketConnection>& channel, const std::string& id) {
    if (!host.active_) return true;
    const std::string& deviceID = *message.deviceID;
    if (host.activeDeviceID_ == deviceID) {
        // The same device came back on a new connection: the old one is stale.
        host.endSession(true, true);
        return true;
    }
    if (!message.takeover.value_or(false)) {
        const auto& current = host.published_.activeDevice;
        auto busy = ControlMessage::make("busy");
        busy.deviceName = current;
        busy.message =
            "This computer is in use by " + current.value_or("another paired device") + ".";
        channel->send(busy);
        // The channel stays pending until its close removes it.
        delayedCancel(host, channel, id);
        return false;
    }
    auto newName = deviceName(*host.registry_, deviceID);
    auto takenOver = ControlMessage::make("takenOver");
    takenOver.deviceName = newName;
    takenOver.message = "Your session moved to " + newName.value_or("another device") + ".";
    // The finish closes the old connection once the message is out.
    host.active_->finish(takenOver);
    host.endSession(false, false);
    return true;
}

void Admission::admit(HostModel& host, const ControlMessage& message,
                      const std::shared_ptr<PacketConnection>& channel, const std::string& id) {
    const std::string& deviceID = *message.deviceID;
    host.active_ = channel;
    host.activeID_ = id;
    host.activeDeviceID_ = deviceID;
    // No longer pending: the admission deadline finds nothing to cancel.
    host.intake_.remove(id);
    const auto features = message.features.value_or(std::vector<std::string>{});
    host.activeFeatures_ = std::set<std::string>(features.begin(), features.end());

    // A display held for another device is released.
    if (host.warmDeviceID_ && *host.warmDeviceID_ != deviceID) {
        host.warmDeviceID_.reset();
        StreamStart::stopCapture(host);
    }

    host.published_.activeDevice = deviceName(*host.registry_, deviceID);
    host.lastMessage_ = host.now();
    host.published_.status = "Connected to " + host.published_.activeDevice.value_or("your device");

    auto hello = ControlMessage::make("hello");
    hello.hostID = host.identity_->hostID();
    hello.controlAllowed = host.controlPermitted();
    hello.features = hostFeatures();
    hello.addresses = host.published_.addresses;
    host.addRelayFields(hello, deviceID);
    channel->send(hello);
}

void Admission::reject(HostModel& host, const std::shared_ptr<PacketConnection>& channel,
                       const std::string& id, const std::string& type, const std::string& text) {
    auto reply = ControlMessage::make(type);
    reply.message = text;
    channel->send(reply);
    delayedCancel(host, channel, id);
    const auto& peers = host.intake_.pendingPeers();
    auto source = peers.find(id);
    // A copy: the callback may replace itself.
    if (auto callback = host.onRefusal)
        callback(source == peers.end() ? "unknown" : source->second.peer, text);
}

void Admission::delayedCancel(HostModel& host, const std::shared_ptr<PacketConnection>& channel,
                              const std::string& id) {
    host.intake_.markAnswered(id);
    // Holds the channel itself: the cancel must happen even if it is no longer tracked.
    host.environment_.mainQueue->postAfter(HostModel::kReplyGraceSeconds,
                                           [channel] { channel->cancel(); });
}

}  // namespace caldrovex
