#include "tools/relay/RelayPeer.h"

#include <algorithm>

namespace caldrovex::relay {

using platform::net::Bytes;
using platform::net::NetError;
using platform::net::State;
using platform::net::StateKind;

namespace {

std::string sourceOf(const platform::net::ConnectionPtr& connection) {
    const auto remote = connection->remoteEndpoint();
    if (const auto* tcp = remote ? std::get_if<platform::net::HostPort>(&*remote) : nullptr)
        return tcp->host;
    return "unknown";
}

}  // namespace

std::shared_ptr<RelayPeer> RelayPeer::make(uint64_t id, platform::net::ConnectionPtr connection,
                                           platform::QueuePtr queue, double now) {
    return std::shared_ptr<RelayPeer>(
        new RelayPeer(id, std::move(connection), std::move(queue), now));
}

RelayPeer::RelayPeer(uint64_t id, platform::net::ConnectionPtr connection, platform::QueuePtr queue,
                     double now)
    : id(id),
      source(sourceOf(connection)),
      queue(std::move(queue)),
      since(now),
      connection_(std::move(connection)) {}

std::string RelayPeer::label() const {
    std::string kind = "link";
    if (request) kind = request->role == RelayLink::Role::host ? "host link" : "device";
    return kind + " #" + std::to_string(id) + " (" + source + ")";
}

void RelayPeer::start() {
    std::weak_ptr<RelayPeer> weak = weak_from_this();
    connection_->setStateHandler([weak](const State& state) {
        auto self = weak.lock();
        if (!self) return;
        if (state.kind == StateKind::ready && self->phase == Phase::reading) self->readLine();
        if (state.kind == StateKind::failed || state.kind == StateKind::cancelled) self->close();
    });
    connection_->start(queue);
}

void RelayPeer::readLine() {
    std::weak_ptr<RelayPeer> weak = weak_from_this();
    // In small reads: most lines are short, and the buffer stays with the connection.
    connection_->receive(
        1, kLineReadSize,
        [weak](std::optional<Bytes> data, bool isComplete, std::optional<NetError> error) {
            if (auto self = weak.lock()) self->received(data, isComplete || error);
        });
}

void RelayPeer::received(const std::optional<Bytes>& data, bool ended) {
    if (phase != Phase::reading) return;
    if (data) line_.insert(line_.end(), data->begin(), data->end());
    const auto lineFeed = std::find(line_.begin(), line_.end(), uint8_t('\n'));
    if (lineFeed == line_.end()) {
        if (ended || line_.size() >= RelayRequest::kMaxLine) return close();
        return readLine();
    }
    request = RelayRequest::parse(std::string(line_.begin(), lineFeed));
    early.assign(lineFeed + 1, line_.end());
    line_.clear();
    line_.shrink_to_fit();
    if (auto callback = onRequest) callback();
}

void RelayPeer::reply(std::string_view word) {
    Bytes line(word.begin(), word.end());
    line.push_back('\n');
    (watched_ ? watched_ : connection_)->send(std::move(line), nullptr);
}

void RelayPeer::watch(Phase next, double now) {
    phase = next;
    since = now;
    lastKeep = now;
    if (!watched_) watched_ = WatchedConnection::make(connection_, queue);
    std::weak_ptr<RelayPeer> weak = weak_from_this();
    watched_->watch([weak](WatchedConnection::Activity activity) {
        auto self = weak.lock();
        if (!self) return;
        if (auto callback = self->onActivity) callback(activity);
    });
}

void RelayPeer::endWith(std::string_view word, double now) {
    phase = Phase::ending;
    since = now;
    reply(word);
    const auto& stream = watched_ ? watched_ : connection_;
    stream->sendEndOfStream(nullptr);
    // Our side ends now; closing at once could reset the stream under unread bytes of theirs
    // and lose the word. So read until they close too (or the service's deadline passes).
    drain();
}

void RelayPeer::drain() {
    std::weak_ptr<RelayPeer> weak = weak_from_this();
    (watched_ ? watched_ : connection_)
        ->receive(1, 4096,
                  [weak](std::optional<Bytes>, bool isComplete, std::optional<NetError> error) {
                      auto self = weak.lock();
                      if (!self || self->phase != Phase::ending) return;
                      if (isComplete || error) return self->close();
                      self->drain();
                  });
}

void RelayPeer::close() {
    if (phase == Phase::closed || phase == Phase::spliced) return;
    phase = Phase::closed;
    connection_->setStateHandler(nullptr);
    connection_->cancel();
    auto callback = std::move(onClosed);
    onClosed = nullptr;
    onRequest = nullptr;
    onActivity = nullptr;
    if (callback) callback();
}

platform::net::ConnectionPtr RelayPeer::handOver() {
    phase = Phase::spliced;
    connection_->setStateHandler(nullptr);
    onClosed = nullptr;
    onRequest = nullptr;
    onActivity = nullptr;
    if (watched_) return watched_;
    return connection_;
}

}  // namespace caldrovex::relay
