#include "tools/device/DeviceLogin.h"

namespace caldrovex::device {

std::shared_ptr<DeviceLogin> DeviceLogin::make(platform::QueuePtr queue,
                                               std::shared_ptr<DeviceClient> client) {
    return std::shared_ptr<DeviceLogin>(new DeviceLogin(std::move(queue), std::move(client)));
}

DeviceLogin::DeviceLogin(platform::QueuePtr queue, std::shared_ptr<DeviceClient> client)
    : queue_(std::move(queue)), client_(std::move(client)) {}

void DeviceLogin::start(DeviceClient::Target target, ControlMessage request,
                        double timeoutSeconds) {
    request_ = std::move(request);
    std::weak_ptr<DeviceLogin> weak = weak_from_this();
    client_->onConnected = [weak](const std::string& address) {
        auto self = weak.lock();
        if (!self || self->done_) return;
        if (auto callback = self->onConnected) callback(address);
        if (!self->done_) self->client_->channel()->send(self->request_);
    };
    client_->onMessage = [weak](ControlMessage message) {
        if (auto self = weak.lock()) self->received(message);
    };
    client_->onClosed = [weak](std::optional<std::string> reason) {
        if (auto self = weak.lock()) {
            self->finish({LoginOutcome::Kind::closed,
                          "The host closed the connection" + (reason ? " (" + *reason + ")" : "") +
                              " without admitting the device.",
                          std::nullopt});
        }
    };
    client_->onFailed = [weak](DeviceClient::Failure failure, const std::string& message) {
        auto self = weak.lock();
        if (!self) return;
        self->finish({failure == DeviceClient::Failure::certificateMismatch
                          ? LoginOutcome::Kind::certificateMismatch
                          : LoginOutcome::Kind::unreachable,
                      message, std::nullopt});
    };
    queue_->postAfter(timeoutSeconds, [weak] {
        if (auto self = weak.lock())
            self->finish(
                {LoginOutcome::Kind::timedOut, "The host did not answer in time.", std::nullopt});
    });
    client_->connect(std::move(target));
}

void DeviceLogin::received(const ControlMessage& message) {
    if (done_) return;
    if (auto callback = onReply) callback(message);
    if (done_) return;
    const std::string sentence = message.message.value_or("");
    if (message.type == "paired") {
        if (auto callback = onPaired) callback(message);
    } else if (message.type == "hello") {
        finish({LoginOutcome::Kind::admitted, "", message});
    } else if (message.type == "busy") {
        finish({LoginOutcome::Kind::busy, sentence, message});
    } else if (message.type == "authRejected" || message.type == "error") {
        finish({LoginOutcome::Kind::refused, sentence, message});
    }
    // Anything else before "hello" (a notice) is shown and otherwise ignored.
}

void DeviceLogin::finish(LoginOutcome outcome) {
    if (done_) return;
    done_ = true;
    // An admitted device keeps its connection for the caller; the others are over.
    if (outcome.kind != LoginOutcome::Kind::admitted) client_->cancel();
    // The client's callbacks lead here; once decided they have nothing more to say.
    if (outcome.kind != LoginOutcome::Kind::admitted) {
        client_->onMessage = nullptr;
        client_->onClosed = nullptr;
    }
    if (auto callback = std::move(onOutcome)) {
        onOutcome = nullptr;
        callback(std::move(outcome));
    }
}

}  // namespace caldrovex::device
