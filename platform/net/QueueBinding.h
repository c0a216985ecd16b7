#pragma once

#include <functional>

#include "platform/Queue.h"
#include "platform/SerialQueue.h"

namespace caldrovex::platform::net {

// Ties a connection's or listener's Asio work to the queue its owner gave to `start`.
//
// When that queue is a SerialQueue, the I/O runs on its strand and handlers run inline, as
// they are already on the owner's queue. Any other queue (the Qt main queue, a ManualQueue)
// cannot run Asio handlers, so the I/O gets a private strand of the shared pool and each
// result is posted to the owner's queue. Copyable; built on `start`, read-only afterwards.
class QueueBinding {
public:
    explicit QueueBinding(QueuePtr queue);

    // Where every Asio operation of the owner is started and completes.
    const SerialQueue::Executor& strand() const { return strand_; }

    // Runs `work` on the owner's queue. Called on the strand only.
    void deliver(std::function<void()> work) const;

private:
    QueuePtr queue_;
    SerialQueue::Executor strand_;
    bool inline_;
};

}  // namespace caldrovex::platform::net
