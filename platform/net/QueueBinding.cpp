#include "platform/net/QueueBinding.h"

#include <asio/strand.hpp>

#include "platform/QueueAssert.h"

namespace caldrovex::platform::net {

namespace {

SerialQueue::Executor strandFor(const QueuePtr& queue) {
    if (auto serial = std::dynamic_pointer_cast<SerialQueue>(queue)) return serial->executor();
    return asio::make_strand(SerialQueue::pool().get_executor());
}

}  // namespace

QueueBinding::QueueBinding(QueuePtr queue)
    : queue_(std::move(queue)),
      strand_(strandFor(queue_)),
      inline_(std::dynamic_pointer_cast<SerialQueue>(queue_) != nullptr) {}

void QueueBinding::deliver(std::function<void()> work) const {
    assertOnStrand(strand_, queue_->label());
    if (inline_) return work();
    queue_->post(std::move(work));
}

}  // namespace caldrovex::platform::net
