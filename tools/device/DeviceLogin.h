#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Queue.h"
#include "protocol/ControlMessage.h"
#include "tools/device/DeviceClient.h"

namespace caldrovex::device {

// How the host answered a device's "pair" or "authenticate".
struct LoginOutcome {
    enum class Kind {
        admitted,             // "hello": the device holds the session
        busy,                 // "busy": another device holds it
        refused,              // "authRejected" or "error"
        unreachable,          // no address could be used
        certificateMismatch,  // the host is not the pinned one
        closed,               // the connection ended before an answer
        timedOut,             // no answer in time
    };
    Kind kind = Kind::closed;
    // The host's sentence, or the device's own account of what went wrong.
    std::string message;
    // The reply that decided it ("hello", "busy", "authRejected", "error").
    std::optional<ControlMessage> reply;
};

// The device's admission by the host: connects through a DeviceClient, sends the request
// ("pair" or "authenticate") once connected, and sorts the host's answers. "paired" (the
// token of a new pairing) is reported on its own, as the host follows it with "hello" or
// "busy" on the same connection.
//
// After an `admitted` outcome the client stays connected and belongs to the caller (to
// disconnect, or to go on with a stream); after any other outcome it is cancelled.
//
// Contract: made and used on the client's queue; callbacks run there. `onOutcome` runs once
// and may destroy the login.
class DeviceLogin : public std::enable_shared_from_this<DeviceLogin> {
public:
    static std::shared_ptr<DeviceLogin> make(platform::QueuePtr queue,
                                             std::shared_ptr<DeviceClient> client);

    // Every message from the host, in order, before it is acted on.
    std::function<void(const ControlMessage&)> onReply;
    std::function<void(const std::string& address)> onConnected;
    std::function<void(const ControlMessage& paired)> onPaired;
    std::function<void(LoginOutcome)> onOutcome;

    // Connects to `target` and sends `request`; gives up after `timeoutSeconds` without an
    // outcome. Once.
    void start(DeviceClient::Target target, ControlMessage request, double timeoutSeconds);

    const std::shared_ptr<DeviceClient>& client() const { return client_; }

private:
    DeviceLogin(platform::QueuePtr queue, std::shared_ptr<DeviceClient> client);

    void received(const ControlMessage& message);
    void finish(LoginOutcome outcome);

    platform::QueuePtr queue_;
    std::shared_ptr<DeviceClient> client_;
    ControlMessage request_;
    bool done_ = false;
};

}  // namespace caldrovex::device
