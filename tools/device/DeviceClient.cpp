#include "tools/device/DeviceClient.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string_view>

#include "platform/net/Connection.h"
#include "trust/Digest.h"

namespace caldrovex::device {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// An address with its own port ("192.0.2.1:4000", "[fd7a::1]:4000") keeps it; a bare
// address (IPv4, or IPv6 with its many colons) takes the target's port.
platform::net::HostPort hostPort(const std::string& address, uint16_t port) {
    auto withPort = [&](std::string host, const std::string& digits) {
        try {
            size_t used = 0;
            const unsigned long value = std::stoul(digits, &used);
            if (used == digits.size() && value > 0 && value <= 65535)
                return platform::net::HostPort{std::move(host), static_cast<uint16_t>(value)};
        } catch (const std::logic_error&) {
            // Not a number: the whole text is the host.
        }
        return platform::net::HostPort{address, port};
    };
    if (address.starts_with('[')) {
        const size_t close = address.find("]:");
        if (close != std::string::npos)
            return withPort(address.substr(1, close - 1), address.substr(close + 2));
        return {address, port};
    }
    const size_t colon = address.find(':');
    if (colon != std::string::npos && address.find(':', colon + 1) == std::string::npos)
        return withPort(address.substr(0, colon), address.substr(colon + 1));
    return {address, port};
}

}  // namespace

std::shared_ptr<DeviceClient> DeviceClient::make(platform::QueuePtr queue,
                                                 platform::ClockPtr clock) {
    return std::shared_ptr<DeviceClient>(new DeviceClient(std::move(queue), std::move(clock)));
}

DeviceClient::DeviceClient(platform::QueuePtr queue, platform::ClockPtr clock)
    : queue_(std::move(queue)), clock_(std::move(clock)) {}

DeviceClient::~DeviceClient() {
    if (channel_) channel_->cancel();
    if (forwarder_) forwarder_->cancel();
}

std::string DeviceClient::certificateHash(const std::vector<unsigned char>& der) {
    return Digest::sha256Hex(
        std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
}

void DeviceClient::connect(Target target) {
    target_ = std::move(target);
    target_.certificateHash = lowered(target_.certificateHash);
    tryNext();
}

void DeviceClient::cancel() {
    ended_ = true;
    if (channel_) channel_->cancel();
    if (forwarder_) forwarder_->cancel();
}

void DeviceClient::tryNext() {
    if (ended_) return;
    if (target_.relayOnly) next_ = target_.addresses.size();
    if (next_ >= target_.addresses.size()) {
        if (target_.relay && !relayTried_) return tryRelay();
        std::string message = "The host could not be reached";
        if (target_.addresses.empty() && !target_.relay) message += " (no address, no relay)";
        for (size_t i = 0; i < attempts_.size(); ++i)
            message += (i == 0 ? ": " : "; ") + attempts_[i];
        return fail(Failure::unreachable, message + ".");
    }
    address_ = target_.addresses[next_++];
    open(hostPort(address_, target_.port), kConnectTimeoutSeconds);
}

void DeviceClient::tryRelay() {
    relayTried_ = true;
    address_ = "the relay at " + target_.relay->endpoint.address();
    forwarder_ = RelayForwarder::make(target_.relay->endpoint, target_.relay->key, queue_);
    std::weak_ptr<DeviceClient> weak = weak_from_this();
    forwarder_->onReady = [weak](std::optional<uint16_t> port) {
        auto self = weak.lock();
        if (!self || self->ended_) return;
        if (!port) {
            self->attempts_.push_back(self->address_ + " (no loopback port to forward from)");
            return self->tryNext();
        }
        self->open(platform::net::HostPort{"127.0.0.1", *port}, kRelayConnectTimeoutSeconds);
    };
    // Either ends the loopback connection too; its close then reports this reason.
    forwarder_->onOffline = [weak] {
        if (auto self = weak.lock()) self->relayFailure_ = "it says the host is offline";
    };
    forwarder_->onFailed = [weak](const std::string& message) {
        if (auto self = weak.lock()) self->relayFailure_ = message;
    };
    forwarder_->start();
}

void DeviceClient::open(const platform::net::HostPort& where, int timeoutSeconds) {
    mismatch_.reset();
    platform::net::Parameters parameters;
    platform::net::TlsOptions tls;
    tls.verify = [weak =
                      weak_from_this()](const std::vector<platform::net::CertificateDer>& chain) {
        auto self = weak.lock();
        return self && self->verify(chain);
    };
    parameters.tls = std::move(tls);
    parameters.tcp.noDelay = true;
    parameters.tcp.connectionTimeout = timeoutSeconds;
    auto connection = platform::net::makeConnection(where, parameters);
    channel_ = PacketConnection::make(std::move(connection), queue_, clock_);

    std::weak_ptr<DeviceClient> weak = weak_from_this();
    channel_->onReady = [weak] {
        auto self = weak.lock();
        if (!self || self->ended_) return;
        self->connected_ = true;
        if (auto callback = self->onConnected) callback(self->address_);
    };
    channel_->onControl = [weak](ControlMessage message) {
        auto self = weak.lock();
        if (!self || self->ended_) return;
        if (auto callback = self->onMessage) callback(std::move(message));
    };
    channel_->onClose = [weak](std::optional<std::string> reason) {
        if (auto self = weak.lock()) self->connectionClosed(std::move(reason));
    };
    channel_->start();
}

bool DeviceClient::verify(const std::vector<platform::net::CertificateDer>& chain) {
    if (chain.empty()) {
        mismatch_ = "no certificate";
        return false;
    }
    const std::string presented = certificateHash(chain.front());
    if (presented == target_.certificateHash) return true;
    mismatch_ = presented;
    return false;
}

void DeviceClient::connectionClosed(std::optional<std::string> reason) {
    if (ended_) return;
    if (connected_) {
        ended_ = true;
        if (auto callback = std::move(onClosed)) {
            onClosed = nullptr;
            callback(std::move(reason));
        }
        return;
    }
    if (mismatch_) {
        const std::string host =
            relayTried_ ? "The host reached through " + address_ : "The host at " + address_;
        return fail(Failure::certificateMismatch,
                    host + " presented a certificate with hash " + *mismatch_ +
                        ", not the pinned " + target_.certificateHash +
                        ". It is not the paired host; refusing to talk to it.");
    }
    attempts_.push_back(address_ + " (" + relayFailure_.value_or(reason.value_or("closed")) + ")");
    tryNext();
}

void DeviceClient::fail(Failure failure, const std::string& message) {
    ended_ = true;
    if (auto callback = std::move(onFailed)) {
        onFailed = nullptr;
        callback(failure, message);
    }
}

}  // namespace caldrovex::device
