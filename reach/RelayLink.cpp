#include "reach/RelayLink.h"

#include <algorithm>
#include <cctype>

#include "platform/net/SystemTrust.h"
#include "trust/Digest.h"
#include "trust/SecureStore.h"

namespace caldrovex {

using platform::net::Bytes;
using platform::net::ConnectionPtr;
using platform::net::State;
using platform::net::StateKind;

RelayLink::Outcome RelayLink::Outcome::paired(ConnectionPtr connection, Bytes leftover) {
    return Outcome{Kind::paired, std::move(connection), std::move(leftover), {}};
}

RelayLink::Outcome RelayLink::Outcome::failed(std::string message) {
    return Outcome{Kind::failed, nullptr, {}, std::move(message)};
}

std::shared_ptr<RelayLink> RelayLink::make(const RelayEndpoint& endpoint, Role role,
                                           std::vector<std::string> keys, platform::QueuePtr queue,
                                           const ConnectionFactory& connect) {
    auto refused = std::make_shared<std::atomic<bool>>(false);
    auto chosen = parameters(endpoint);
    chosen.tls->verify = [refused, verify = std::move(chosen.tls->verify)](
                             const std::vector<platform::net::CertificateDer>& chain) {
        const bool accepted = verify(chain);
        if (!accepted) refused->store(true);
        return accepted;
    };
    auto connection = connect(platform::net::HostPort{endpoint.host, endpoint.port}, chosen);
    std::string refusedMessage =
        endpoint.pinnedCertificateHash ? kPinMismatchMessage : kUntrustedMessage;
    return std::shared_ptr<RelayLink>(new RelayLink(role, std::move(keys), std::move(queue),
                                                    std::move(connection),
                                                    std::move(refusedMessage), refused));
}

RelayLink::RelayLink(Role role, std::vector<std::string> keys, platform::QueuePtr queue,
                     ConnectionPtr connection, std::string refusedMessage,
                     std::shared_ptr<std::atomic<bool>> certificateRefused)
    : role(role),
      keys(std::move(keys)),
      queue(std::move(queue)),
      connection_(std::move(connection)),
      refusedMessage_(std::move(refusedMessage)),
      certificateRefused_(std::move(certificateRefused)) {}

RelayLink::~RelayLink() {
    // A link dropped before its outcome leaves nothing open behind it.
    if (connection_) connection_->cancel();
}

std::string_view RelayLink::roleText(Role role) {
    return role == Role::host ? "HOST" : "DEVICE";
}

std::string RelayLink::requestLine(Role role, const std::vector<std::string>& keys) {
    std::string line = "CALDROVEX/2 ";
    line += roleText(role);
    line += ' ';
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i > 0) line += ' ';
        line += keys[i];
    }
    line += '\n';
    return line;
}

platform::net::Parameters RelayLink::parameters(const RelayEndpoint& endpoint) {
    platform::net::Parameters parameters;
    platform::net::TlsOptions tls;
    tls.serverName = endpoint.host;
    if (endpoint.pinnedCertificateHash) {
        tls.verify = [pin = *endpoint.pinnedCertificateHash](
                         const std::vector<platform::net::CertificateDer>& chain) {
            return matchesPin(chain, pin);
        };
    } else {
        tls.verify = platform::net::SystemTrust::verifier(endpoint.host);
    }
    parameters.tls = std::move(tls);
    parameters.tcp.noDelay = true;
    parameters.tcp.enableKeepalive = true;
    parameters.tcp.keepaliveIdle = kKeepaliveIdleSeconds;
    parameters.tcp.keepaliveInterval = kKeepaliveIntervalSeconds;
    parameters.tcp.keepaliveCount = kKeepaliveCount;
    parameters.tcp.connectionTimeout = kConnectTimeoutSeconds;
    return parameters;
}

bool RelayLink::matchesPin(const std::vector<platform::net::CertificateDer>& chain,
                           const std::string& pinnedHash) {
    if (chain.empty()) return false;
    const auto& leaf = chain.front();
    const std::string presented = Digest::sha256Hex(
        std::string_view(reinterpret_cast<const char*>(leaf.data()), leaf.size()));
    std::string expected = pinnedHash;
    std::transform(expected.begin(), expected.end(), expected.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return SecureStore::constantTimeEqual(presented, expected);
}

void RelayLink::start() {
    std::weak_ptr<RelayLink> weak = weak_from_this();
    connection_->setStateHandler([weak](const State& state) {
        if (auto self = weak.lock()) self->stateChanged(state);
    });
    connection_->start(queue);
}

void RelayLink::cancel() {
    if (cancelled_.exchange(true)) return;
    std::weak_ptr<RelayLink> weak = weak_from_this();
    auto work = [weak] {
        if (auto self = weak.lock()) self->abandon();
    };
    if (queue->isCurrent()) return work();
    queue->post(std::move(work));
}

void RelayLink::abandon() {
    finished_ = true;
    onOutcome = nullptr;
    if (!connection_) return;
    connection_->setStateHandler(nullptr);
    connection_->cancel();
}

void RelayLink::stateChanged(const State& state) {
    if (finished_) return;
    switch (state.kind) {
        case StateKind::waiting:
        case StateKind::failed:
            if (certificateRefused_->load()) return finish(Outcome::failed(refusedMessage_));
            return finish(Outcome::failed(state.error ? state.error->description : kClosedMessage));
        case StateKind::ready: {
            const std::string line = requestLine(role, keys);
            connection_->send(Bytes(line.begin(), line.end()), nullptr);
            return readMore();
        }
        case StateKind::cancelled:
            return finish(Outcome::failed(kCancelledMessage));
        case StateKind::setup:
        case StateKind::preparing:
            return;
    }
}

void RelayLink::readMore() {
    std::weak_ptr<RelayLink> weak = weak_from_this();
    connection_->receive(1, kReadSize,
                         [weak](std::optional<Bytes> data, bool isComplete,
                                std::optional<platform::net::NetError> error) {
                             if (auto self = weak.lock()) self->received(data, isComplete, error);
                         });
}

void RelayLink::received(const std::optional<Bytes>& data, bool isComplete,
                         const std::optional<platform::net::NetError>& error) {
    if (finished_) return;
    if (data) buffer_.insert(buffer_.end(), data->begin(), data->end());
    for (;;) {
        const auto lineFeed = std::find(buffer_.begin(), buffer_.end(), uint8_t('\n'));
        if (lineFeed == buffer_.end()) break;
        // Lines are plain ASCII words; invalid UTF-8 cannot match one, so it needs no repair.
        const std::string line(buffer_.begin(), lineFeed);
        buffer_.erase(buffer_.begin(), lineFeed + 1);
        if (!handleLine(line)) return;
    }
    if (buffer_.size() >= kReadSize || isComplete || error)
        return finish(Outcome::failed(error ? error->description : kClosedMessage));
    readMore();
}

bool RelayLink::handleLine(std::string_view line) {
    if (line == "KEEP") return true;
    if (line == "WAIT") {
        report(Outcome::waiting());
        return !finished_;
    }
    if (line == "PAIRED") {
        pair();
        return false;
    }
    if (line == "OFFLINE") {
        finish(Outcome::offline());
    } else if (line == "FULL") {
        finish(Outcome::failed(kBusyMessage));
    } else {
        finish(Outcome::failed(kUnexpectedMessage));
    }
    return false;
}

void RelayLink::pair() {
    finished_ = true;
    connection_->setStateHandler(nullptr);
    auto callback = std::move(onOutcome);
    onOutcome = nullptr;
    auto connection = std::move(connection_);
    connection_.reset();
    auto leftover = std::move(buffer_);
    buffer_.clear();
    // A link cancelled meanwhile closes the connection instead of handing it over.
    if (!callback || cancelled_) return connection->cancel();
    callback(Outcome::paired(std::move(connection), std::move(leftover)));
}

void RelayLink::finish(Outcome outcome) {
    if (finished_) return;
    finished_ = true;
    auto callback = std::move(onOutcome);
    onOutcome = nullptr;
    connection_->setStateHandler(nullptr);
    connection_->cancel();
    if (callback && !cancelled_) callback(std::move(outcome));
}

void RelayLink::report(Outcome outcome) {
    // Copied, as the callback may replace or clear itself (or drop this link) while it runs.
    auto callback = onOutcome;
    if (callback && !cancelled_) callback(std::move(outcome));
}

}  // namespace caldrovex
