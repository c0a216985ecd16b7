#include "support/SimulatedLink.h"

#include <algorithm>

namespace caldrovex::test {

using platform::net::Bytes;
using platform::net::CertificateDer;
using platform::net::Connection;
using platform::net::NetError;
using platform::net::State;
using platform::net::StateKind;

// One end of the link as the code under test sees it: a Connection whose bytes go through
// the link's bottleneck. Completions are posted, never run inside the caller, so a reader
// that asks for the next bytes from its completion does not recurse.
class SimulatedLink::End final : public Connection, public std::enable_shared_from_this<End> {
public:
    End(std::weak_ptr<SimulatedLink> link, int index, std::shared_ptr<platform::ManualQueue> queue)
        : link_(std::move(link)), index_(index), queue_(std::move(queue)) {}

    void setStateHandler(StateHandler handler) override { handler_ = std::move(handler); }
    State state() const override { return state_; }

    void start(platform::QueuePtr) override {
        if (state_.kind != StateKind::setup) return;
        post([self = shared_from_this()] { self->setState({StateKind::ready, {}}); });
    }

    void send(Bytes content, SendCompletion completion) override {
        push(Write{std::move(content), false, std::move(completion)});
    }

    void sendEndOfStream(SendCompletion completion) override {
        push(Write{{}, true, std::move(completion)});
    }

    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override {
        if (closed()) {
            post([completion] {
                completion(std::nullopt, true, NetError{"Connection cancelled."});
            });
            return;
        }
        reader_ =
            Reader{std::max<size_t>(minimum, 1), std::max(maximum, minimum), std::move(completion)};
        serveReader();
    }

    void cancel() override {
        if (closed()) return;
        setState({StateKind::cancelled, {}});
        if (reader_) {
            auto reader = std::move(*reader_);
            reader_.reset();
            post([reader] {
                reader.completion(std::nullopt, true, NetError{"Connection cancelled."});
            });
        }
        if (auto link = link_.lock()) link->closeBoth(index_);
    }

    std::optional<platform::net::Endpoint> remoteEndpoint() const override { return std::nullopt; }
    std::vector<CertificateDer> peerCertificates() const override { return {}; }

    // Called by the link, on the queue.
    void deliver(const Bytes& bytes) {
        inbound_.insert(inbound_.end(), bytes.begin(), bytes.end());
        serveReader();
    }
    void peerEnded() {
        peerEnded_ = true;
        serveReader();
    }
    bool closed() const {
        return state_.kind == StateKind::cancelled || state_.kind == StateKind::failed;
    }
    void post(platform::Queue::Work work) { queue_->post(std::move(work)); }

private:
    struct Reader {
        size_t minimum;
        size_t maximum;
        ReceiveCompletion completion;
    };

    void push(Write write) {
        auto link = link_.lock();
        if (closed() || !link) {
            auto completion = std::move(write.completion);
            if (completion) post([completion] { completion(NetError{"Connection cancelled."}); });
            return;
        }
        link->write(index_, std::move(write));
    }

    void setState(State state) {
        if (closed()) return;
        state_ = state;
        if (handler_) handler_(state_);
    }

    void serveReader() {
        if (!reader_) return;
        bool enough = inbound_.size() >= reader_->minimum;
        if (!enough && !peerEnded_) return;
        size_t count = std::min(inbound_.size(), reader_->maximum);
        std::optional<Bytes> data;
        if (count > 0) {
            data = Bytes(inbound_.begin(), inbound_.begin() + count);
            inbound_.erase(inbound_.begin(), inbound_.begin() + count);
        }
        bool complete = peerEnded_ && inbound_.empty();
        auto reader = std::move(*reader_);
        reader_.reset();
        post([reader, data = std::move(data), complete] {
            reader.completion(data, complete, std::nullopt);
        });
    }

    std::weak_ptr<SimulatedLink> link_;
    int index_;
    std::shared_ptr<platform::ManualQueue> queue_;
    StateHandler handler_;
    State state_;
    std::deque<uint8_t> inbound_;
    std::optional<Reader> reader_;
    bool peerEnded_ = false;
};

SimulatedLink::SimulatedLink(std::shared_ptr<platform::ManualQueue> queue, Config config)
    : queue_(std::move(queue)), config_(std::move(config)), random_(config_.seed) {
    if (config_.bufferBytes == 0) {
        config_.bufferBytes = static_cast<size_t>(config_.capacityBitsPerSecond / 8);
    }
    config_.packetBytes = std::max<size_t>(config_.packetBytes, 1);
}

std::shared_ptr<SimulatedLink> SimulatedLink::make(std::shared_ptr<platform::ManualQueue> queue,
                                                   Config config) {
    auto link = std::make_shared<SimulatedLink>(queue, std::move(config));
    for (int i = 0; i < 2; ++i) link->ends_[i] = std::make_shared<End>(link, i, queue);
    return link;
}

platform::net::ConnectionPtr SimulatedLink::endA() const {
    return ends_[0];
}
platform::net::ConnectionPtr SimulatedLink::endB() const {
    return ends_[1];
}

double SimulatedLink::capacityAt(double time) const {
    double capacity = config_.capacityBitsPerSecond;
    for (const auto& [at, value] : config_.capacityChanges) {
        if (at <= time) capacity = value;
    }
    return capacity;
}

size_t SimulatedLink::queuedBytes(int direction) const {
    return directions_[direction].bufferedBytes;
}

void SimulatedLink::write(int direction, Write write) {
    directions_[direction].waiting.push_back(std::move(write));
    admit(direction);
}

// Moves waiting writes into the bottleneck buffer while it has room. A write larger than
// the whole buffer is taken when the buffer is empty, so nothing waits forever.
void SimulatedLink::admit(int direction) {
    auto& d = directions_[direction];
    while (!d.waiting.empty()) {
        Write& w = d.waiting.front();
        size_t size = w.bytes.size();
        if (d.bufferedBytes > 0 && d.bufferedBytes + size > config_.bufferBytes) break;
        for (size_t offset = 0; offset < size; offset += config_.packetBytes) {
            size_t n = std::min(config_.packetBytes, size - offset);
            d.buffer.push_back(
                Packet{Bytes(w.bytes.begin() + offset, w.bytes.begin() + offset + n)});
        }
        if (w.endOfStream) d.buffer.push_back(Packet{{}, true});
        d.bufferedBytes += size;
        if (auto completion = std::move(w.completion)) {
            queue_->post([completion] { completion(std::nullopt); });
        }
        d.waiting.pop_front();
    }
    if (!d.transmitting) transmitNext(direction);
}

void SimulatedLink::transmitNext(int direction) {
    auto& d = directions_[direction];
    if (d.buffer.empty()) {
        d.transmitting = false;
        return;
    }
    d.transmitting = true;
    double now = queue_->monotonic();
    double seconds = d.buffer.front().bytes.size() * 8.0 / capacityAt(now);
    queue_->postAfter(seconds, [weak = weak_from_this(), direction] {
        auto self = weak.lock();
        if (!self) return;
        auto& d = self->directions_[direction];
        Packet packet = std::move(d.buffer.front());
        d.buffer.pop_front();
        d.bufferedBytes -= packet.bytes.size();
        self->arrive(direction, std::move(packet));
        self->admit(direction);
        self->transmitNext(direction);
    });
}

// Schedules a serialised packet's arrival after the propagation delay and its jitter,
// never before the packet ahead of it (the path keeps order).
void SimulatedLink::arrive(int direction, Packet packet) {
    auto& d = directions_[direction];
    double now = queue_->monotonic();
    double jitter = 0;
    if (config_.jitterMax > 0) {
        jitter = std::uniform_real_distribution<double>(0, config_.jitterMax)(random_);
    }
    double at = std::max(now + config_.oneWayDelay + jitter, d.lastArrival);
    d.lastArrival = at;
    queue_->postAfter(at - now, [weak = weak_from_this(), direction, packet = std::move(packet)] {
        auto self = weak.lock();
        if (!self) return;
        auto& receiver = self->ends_[1 - direction];
        if (receiver->closed()) return;
        if (!packet.bytes.empty()) {
            if (self->onDelivered) {
                self->onDelivered(direction, packet.bytes.size(), self->queue_->monotonic());
            }
            receiver->deliver(packet.bytes);
        }
        if (packet.endOfStream) receiver->peerEnded();
    });
}

// A cancelled end stops sending at once; the other end sees its stream end after the
// bytes already on the wire have arrived.
void SimulatedLink::closeBoth(int from) {
    auto& d = directions_[from];
    for (auto& w : d.waiting) {
        if (auto completion = std::move(w.completion)) {
            queue_->post([completion] { completion(NetError{"Connection cancelled."}); });
        }
    }
    d.waiting.clear();
    d.buffer.push_back(Packet{{}, true});
    if (!d.transmitting) transmitNext(from);
}

}  // namespace caldrovex::test
