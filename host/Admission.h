#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/ConnectionIntake.h"
#include "platform/Clock.h"
#include "platform/Queue.h"
#include "protocol/ControlMessage.h"
#include "trust/DeviceRegistry.h"
#include "trust/HostIdentity.h"

namespace caldrovex {

class HostController;
class PacketConnection;

// The decision about a connection that is not (yet) the session's: it may pair with the open
// invitation's secret ("pair") or prove itself with its token ("authenticate"), and is then
// answered "paired"/"hello", refused, told the host is busy, or made the session in place of
// the current one ("takenOver"). One device holds the host at a time.
//
// Keeps the last successful pairing for a minute, so that a device whose "paired" reply was
// lost can pair again with the same secret and receive the same token.
//
// Contract: owned by the controller, on its main queue. The intake is the controller's
// bookkeeping of pending connections; admission reads it and takes admitted or answered
// connections out of it. Both outlive the admission.
class Admission {
public:
    // How long a device whose "paired" reply was lost may pair again with the same secret.
    static constexpr double kRecentPairingSeconds = 60;
    // A refused or busy device gets this long to read its reply before the connection goes.
    static constexpr double kReplyGraceSeconds = 0.2;

    // The last successful pairing.
    struct RecentPairing {
        std::string secretHash;
        std::string deviceID;
        std::string token;
        double expiresAt = 0;  // monotonic seconds
    };

    // The credentials a decision needs; admission ignores every message while they are not
    // loaded.
    struct Credentials {
        const HostIdentity& identity;
        DeviceRegistry& registry;
    };

    Admission(HostController& controller, ConnectionIntake& intake, platform::QueuePtr mainQueue,
              platform::ClockPtr clock);

    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

    // A message of the connection with intake id `id`, which is not the session's.
    void handle(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                const std::string& id, const Credentials& credentials);

    // The capabilities the host announces in "hello".
    static const std::vector<std::string>& hostFeatures();

    const std::optional<RecentPairing>& recentPairing() const { return recentPairing_; }
    // Forgets the recent pairing (all of it, or only that of `deviceID`; only once expired).
    void forgetPairing();
    void forgetPairingOf(const std::string& deviceID);
    void forgetExpiredPairing();

private:
    // The device's token for a "pair" message, or nullopt after the refusal was sent.
    std::optional<std::string> pair(const ControlMessage& message,
                                    const std::shared_ptr<PacketConnection>& channel,
                                    const std::string& id, const Credentials& credentials);
    // Ends or displaces a current session for `deviceID`; false when the device was told the
    // host is busy.
    bool makeRoom(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
                  const std::string& id, const DeviceRegistry& registry);
    void admit(const ControlMessage& message, const std::shared_ptr<PacketConnection>& channel,
               const std::string& id, const Credentials& credentials);
    // Sends a reply of `type` with `text` as its message and cancels the channel shortly
    // after, so the reply has a chance to arrive. Later messages of the channel are ignored.
    void reject(const std::shared_ptr<PacketConnection>& channel, const std::string& id,
                const std::string& type, const std::string& text);
    void delayedCancel(const std::shared_ptr<PacketConnection>& channel, const std::string& id);
    void setRecentPairing(std::optional<RecentPairing> pairing);
    double now() const { return clock_->monotonic(); }

    HostController& controller_;
    ConnectionIntake& intake_;
    const platform::QueuePtr mainQueue_;
    const platform::ClockPtr clock_;
    std::optional<RecentPairing> recentPairing_;
};

}  // namespace caldrovex
