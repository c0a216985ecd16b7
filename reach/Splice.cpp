#include "reach/Splice.h"

namespace caldrovex {

using platform::net::Bytes;
using platform::net::ConnectionPtr;
using platform::net::NetError;
using platform::net::State;
using platform::net::StateKind;

std::shared_ptr<Splice> Splice::make(ConnectionPtr a, ConnectionPtr b, platform::QueuePtr queue) {
    return std::shared_ptr<Splice>(new Splice(std::move(a), std::move(b), std::move(queue)));
}

Splice::Splice(ConnectionPtr a, ConnectionPtr b, platform::QueuePtr queue)
    : a(std::move(a)), b(std::move(b)), queue(std::move(queue)) {}

void Splice::start(Bytes pendingForB) {
    // The paired relay connection is ready already; the bridge connection is not yet, and a
    // bridge that refuses it must take the relay side down with it.
    closeOnFailure(a);
    closeOnFailure(b);
    if (b->state().kind == StateKind::setup) b->start(queue);
    if (a->state().kind == StateKind::setup) a->start(queue);
    if (pendingForB.empty()) {
        pump(0);
    } else {
        const size_t size = pendingForB.size();
        std::weak_ptr<Splice> weak = weak_from_this();
        b->send(std::move(pendingForB), [weak, size](std::optional<NetError> error) {
            auto self = weak.lock();
            if (!self || self->closed_) return;
            if (error) return self->close();
            self->forwarded_[0] += size;
            self->pump(0);
        });
    }
    pump(1);
}

void Splice::closeOnFailure(const ConnectionPtr& connection) {
    if (connection->state().kind == StateKind::ready) return;
    std::weak_ptr<Splice> weak = weak_from_this();
    connection->setStateHandler([weak](const State& state) {
        if (state.kind != StateKind::failed && state.kind != StateKind::cancelled) return;
        if (auto self = weak.lock()) self->close();
    });
}

void Splice::pump(int direction) {
    const ConnectionPtr& from = direction == 0 ? a : b;
    std::weak_ptr<Splice> weak = weak_from_this();
    from->receive(1, kChunk,
                  [weak, direction](std::optional<Bytes> data, bool isComplete,
                                    std::optional<NetError> error) {
                      auto self = weak.lock();
                      if (!self || self->closed_) return;
                      if (!data || data->empty()) {
                          if (isComplete || error) return self->close();
                          return self->pump(direction);
                      }
                      const size_t size = data->size();
                      const ConnectionPtr& to = direction == 0 ? self->b : self->a;
                      to->send(std::move(*data), [weak, direction, size,
                                                  isComplete](std::optional<NetError> sendError) {
                          auto self = weak.lock();
                          if (!self || self->closed_) return;
                          if (!sendError) self->forwarded_[direction] += size;
                          if (sendError || isComplete) return self->close();
                          self->pump(direction);
                      });
                  });
}

void Splice::close() {
    queue->post([self = shared_from_this()] { self->closeNow(); });
}

void Splice::closeNow() {
    if (closed_) return;
    closed_ = true;
    a->cancel();
    b->cancel();
    auto callback = std::move(onClose);
    onClose = nullptr;
    if (callback) callback();
}

}  // namespace caldrovex
