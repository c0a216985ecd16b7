#include "tools/relay/WatchedConnection.h"

namespace caldrovex::relay {

using platform::net::Bytes;
using platform::net::NetError;

std::shared_ptr<WatchedConnection> WatchedConnection::make(platform::net::ConnectionPtr inner,
                                                           platform::QueuePtr queue) {
    return std::shared_ptr<WatchedConnection>(
        new WatchedConnection(std::move(inner), std::move(queue)));
}

WatchedConnection::WatchedConnection(platform::net::ConnectionPtr inner, platform::QueuePtr queue)
    : inner_(std::move(inner)), queue_(std::move(queue)) {}

void WatchedConnection::watch(std::function<void(Activity)> onActivity) {
    if (watching_ || held_) return;
    watching_ = true;
    onActivity_ = std::move(onActivity);
    std::weak_ptr<WatchedConnection> weak = weak_from_this();
    inner_->receive(
        1, kWatchSize,
        [weak](std::optional<Bytes> data, bool isComplete, std::optional<NetError> error) {
            if (auto self = weak.lock())
                self->watched(Result{std::move(data), isComplete, std::move(error)});
        });
}

void WatchedConnection::watched(Result result) {
    watching_ = false;
    const Activity activity{result.data && !result.data->empty(),
                            result.isComplete || result.error.has_value()};
    held_ = std::move(result);
    auto callback = std::move(onActivity_);
    onActivity_ = nullptr;
    if (reader_) {
        auto reader = std::move(*reader_);
        reader_.reset();
        return deliver(std::move(reader));
    }
    if (callback) callback(activity);
}

void WatchedConnection::setStateHandler(StateHandler handler) {
    inner_->setStateHandler(std::move(handler));
}

void WatchedConnection::send(Bytes content, SendCompletion completion) {
    inner_->send(std::move(content), std::move(completion));
}

void WatchedConnection::sendEndOfStream(SendCompletion completion) {
    inner_->sendEndOfStream(std::move(completion));
}

void WatchedConnection::receive(size_t minimum, size_t maximum, ReceiveCompletion completion) {
    Reader reader{std::max<size_t>(1, maximum), std::move(completion)};
    if (held_) return deliver(std::move(reader));
    if (watching_) {
        reader_ = std::move(reader);
        return;
    }
    inner_->receive(minimum, maximum, std::move(reader.completion));
}

// Hands what the watch read brought to `reader`, at most its maximum; the rest (and the end
// of the stream, if it came with the bytes) waits for the next reader.
void WatchedConnection::deliver(Reader reader) {
    Result part;
    Result& held = *held_;
    if (held.data && held.data->size() > reader.maximum) {
        part.data.emplace(held.data->begin(),
                          held.data->begin() + static_cast<long>(reader.maximum));
        held.data->erase(held.data->begin(),
                         held.data->begin() + static_cast<long>(reader.maximum));
    } else {
        part = std::move(held);
        held_.reset();
    }
    queue_->post([completion = std::move(reader.completion), part = std::move(part)] {
        completion(part.data, part.isComplete, part.error);
    });
}

}  // namespace caldrovex::relay
