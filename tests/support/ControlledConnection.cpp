#include "ControlledConnection.h"

#include <system_error>

namespace caldrovex::test {

using platform::net::Bytes;
using platform::net::NetError;
using platform::net::State;

ControlledConnection::ControlledConnection(platform::net::ConnectionPtr inner)
    : inner_(std::move(inner)) {}

void ControlledConnection::setStateHandler(StateHandler handler) {
    {
        std::lock_guard lock(mutex_);
        stateHandler_ = handler;
    }
    inner_->setStateHandler(std::move(handler));
}

void ControlledConnection::start(platform::QueuePtr queue) {
    {
        std::lock_guard lock(mutex_);
        queue_ = queue;
    }
    inner_->start(std::move(queue));
}

void ControlledConnection::send(Bytes content, SendCompletion completion) {
    {
        std::lock_guard lock(mutex_);
        if (holding_) {
            held_.push_back(std::move(completion));
            completion = [](std::optional<NetError>) {};
        }
    }
    inner_->send(std::move(content), std::move(completion));
}

void ControlledConnection::sendEndOfStream(SendCompletion completion) {
    inner_->sendEndOfStream(std::move(completion));
}

void ControlledConnection::receive(size_t minimum, size_t maximum, ReceiveCompletion completion) {
    std::optional<NetError> failure;
    platform::QueuePtr queue;
    {
        std::lock_guard lock(mutex_);
        failure.swap(receiveFailure_);
        queue = queue_;
    }
    if (!failure) return inner_->receive(minimum, maximum, std::move(completion));
    queue->post([completion = std::move(completion), failure] {
        completion(std::nullopt, false, failure);
    });
}

void ControlledConnection::failNextReceive(NetError error) {
    std::lock_guard lock(mutex_);
    receiveFailure_ = std::move(error);
}

void ControlledConnection::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    inner_->cancel();
    completeHeld(NetError{std::make_error_code(std::errc::operation_canceled).message()});
}

std::optional<platform::net::Endpoint> ControlledConnection::remoteEndpoint() const {
    return inner_->remoteEndpoint();
}

std::vector<platform::net::CertificateDer> ControlledConnection::peerCertificates() const {
    return inner_->peerCertificates();
}

void ControlledConnection::holdWrites() {
    std::lock_guard lock(mutex_);
    holding_ = true;
}

size_t ControlledConnection::heldWrites() const {
    std::lock_guard lock(mutex_);
    return held_.size();
}

void ControlledConnection::releaseWrites() {
    completeHeld(std::nullopt);
}

void ControlledConnection::failWrites(NetError error) {
    completeHeld(std::move(error));
}

void ControlledConnection::reportState(State state) {
    std::lock_guard lock(mutex_);
    queue_->post([this, state] {
        StateHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = stateHandler_;
        }
        if (handler) handler(state);
    });
}

bool ControlledConnection::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void ControlledConnection::completeHeld(std::optional<NetError> error) {
    std::deque<SendCompletion> held;
    platform::QueuePtr queue;
    {
        std::lock_guard lock(mutex_);
        holding_ = false;
        held.swap(held_);
        queue = queue_;
    }
    for (auto& completion : held) {
        // Before `start` there is no queue yet; nothing of the stream runs then, so run inline.
        if (!queue) {
            completion(error);
            continue;
        }
        queue->post([completion = std::move(completion), error] { completion(error); });
    }
}

}  // namespace caldrovex::test
