#include "platform/net/MemoryConnection.h"

#include <deque>
#include <mutex>
#include <system_error>

#include "platform/net/ReceiveQueue.h"

namespace caldrovex::platform::net {

namespace {

NetError errorFor(std::errc code) {
    return NetError{std::make_error_code(code).message()};
}

struct PendingSend {
    Bytes content;
    bool endOfStream = false;
    Connection::SendCompletion completion;
};

}  // namespace

// Both ends live behind one mutex: a pair is a test fixture, so simplicity beats contention.
// Work for an end is posted to its queue while the mutex is held, which keeps completions in
// the order their events happened; nothing user-supplied ever runs under the mutex.
struct MemoryConnection::Pipe : std::enable_shared_from_this<Pipe> {
    struct Side {
        QueuePtr queue;
        State state;
        StateHandler stateHandler;
        bool started = false;
        bool cancelled = false;
        bool outputEnded = false;
        std::deque<PendingSend> heldSends;  // sends made before start
        ReceiveQueue receives;  // the bytes from the peer, and the receives waiting for them
        std::vector<CertificateDer> peerCertificates;
    };

    std::mutex mutex;
    Side sides[2];

    Side& peerOf(int side) { return sides[1 - side]; }

    void setState(int side, State state) {
        Side& s = sides[side];
        s.state = state;
        if (!s.queue) return;
        // The handler is looked up when the work runs: one removed in between is not called.
        // Weak, so a queue that never runs its work does not keep the pair alive in a cycle.
        s.queue->post([weak = weak_from_this(), side, state] {
            auto self = weak.lock();
            if (!self) return;
            StateHandler handler;
            {
                std::lock_guard lock(self->mutex);
                handler = self->sides[side].stateHandler;
            }
            if (handler) handler(state);
        });
    }

    void complete(int side, SendCompletion completion, std::optional<NetError> error) {
        if (!completion) return;
        sides[side].queue->post([completion = std::move(completion), error] { completion(error); });
    }

    void deliver(int side, PendingSend send) {
        Side& s = sides[side];
        if (s.cancelled)
            return complete(side, std::move(send.completion),
                            errorFor(std::errc::operation_canceled));
        if (s.outputEnded)
            return complete(side, std::move(send.completion), errorFor(std::errc::broken_pipe));
        Side& peer = peerOf(side);
        if (send.endOfStream) {
            s.outputEnded = true;
            peer.receives.endInput();
        } else if (!peer.cancelled) {
            peer.receives.append(send.content.data(), send.content.size());
        }
        serviceReceives(1 - side);
        complete(side, std::move(send.completion), std::nullopt);
    }

    // Answers waiting receives, oldest first, while the inbound bytes satisfy them.
    void serviceReceives(int side) {
        Side& s = sides[side];
        if (!s.started || s.cancelled) return;
        s.receives.service(
            [&s](ReceiveCompletion completion, std::optional<Bytes> data, bool isComplete) {
                s.queue->post([completion = std::move(completion), data = std::move(data),
                               isComplete] { completion(data, isComplete, std::nullopt); });
            });
    }

    // Fails everything this side still waits for; only once it has a queue to run them on.
    void failPending(int side) {
        Side& s = sides[side];
        if (!s.queue) return;
        auto error = errorFor(std::errc::operation_canceled);
        for (auto& send : s.heldSends) complete(side, std::move(send.completion), error);
        s.heldSends.clear();
        for (auto& completion : s.receives.takeWaiting()) {
            s.queue->post([completion = std::move(completion), error] {
                completion(std::nullopt, false, error);
            });
        }
    }

    void cancel(int side) {
        Side& s = sides[side];
        if (s.cancelled) return;
        s.cancelled = true;
        setState(side, State{StateKind::cancelled, std::nullopt});
        failPending(side);
        peerOf(side).receives.endInput();
        serviceReceives(1 - side);
    }
};

std::pair<MemoryConnection::Ptr, MemoryConnection::Ptr> MemoryConnection::makePair() {
    auto pipe = std::make_shared<Pipe>();
    return {Ptr(new MemoryConnection(pipe, 0)), Ptr(new MemoryConnection(pipe, 1))};
}

MemoryConnection::MemoryConnection(std::shared_ptr<Pipe> pipe, int side)
    : pipe_(std::move(pipe)), side_(side) {}

MemoryConnection::~MemoryConnection() {
    // A dropped end closes like a dropped socket: the peer sees the end of the stream.
    std::lock_guard lock(pipe_->mutex);
    pipe_->cancel(side_);
}

void MemoryConnection::setStateHandler(StateHandler handler) {
    std::lock_guard lock(pipe_->mutex);
    pipe_->sides[side_].stateHandler = std::move(handler);
}

State MemoryConnection::state() const {
    std::lock_guard lock(pipe_->mutex);
    return pipe_->sides[side_].state;
}

void MemoryConnection::start(QueuePtr queue) {
    std::lock_guard lock(pipe_->mutex);
    auto& side = pipe_->sides[side_];
    if (side.started || !queue) return;
    side.started = true;
    side.queue = std::move(queue);
    if (side.cancelled) {
        pipe_->setState(side_, side.state);
        pipe_->failPending(side_);
        return;
    }
    pipe_->setState(side_, State{StateKind::ready, std::nullopt});
    auto held = std::move(side.heldSends);
    side.heldSends.clear();
    for (auto& send : held) pipe_->deliver(side_, std::move(send));
    pipe_->serviceReceives(side_);
}

void MemoryConnection::send(Bytes content, SendCompletion completion) {
    std::lock_guard lock(pipe_->mutex);
    auto& side = pipe_->sides[side_];
    PendingSend send{std::move(content), false, std::move(completion)};
    if (!side.started) return side.heldSends.push_back(std::move(send));
    pipe_->deliver(side_, std::move(send));
}

void MemoryConnection::sendEndOfStream(SendCompletion completion) {
    std::lock_guard lock(pipe_->mutex);
    auto& side = pipe_->sides[side_];
    PendingSend send{{}, true, std::move(completion)};
    if (!side.started) return side.heldSends.push_back(std::move(send));
    pipe_->deliver(side_, std::move(send));
}

void MemoryConnection::receive(size_t minimum, size_t maximum, ReceiveCompletion completion) {
    std::lock_guard lock(pipe_->mutex);
    auto& side = pipe_->sides[side_];
    if (side.cancelled && side.started) {
        side.queue->post([completion = std::move(completion)] {
            completion(std::nullopt, false, errorFor(std::errc::operation_canceled));
        });
        return;
    }
    side.receives.add(minimum, maximum, std::move(completion));
    pipe_->serviceReceives(side_);
}

void MemoryConnection::cancel() {
    std::lock_guard lock(pipe_->mutex);
    pipe_->cancel(side_);
}

std::vector<CertificateDer> MemoryConnection::peerCertificates() const {
    std::lock_guard lock(pipe_->mutex);
    return pipe_->sides[side_].peerCertificates;
}

void MemoryConnection::setPeerCertificates(std::vector<CertificateDer> chain) {
    std::lock_guard lock(pipe_->mutex);
    pipe_->sides[side_].peerCertificates = std::move(chain);
}

}  // namespace caldrovex::platform::net
