#include "platform/net/ReceiveQueue.h"

#include <algorithm>

namespace caldrovex::platform::net {

void ReceiveQueue::add(size_t minimum, size_t maximum, Connection::ReceiveCompletion completion) {
    maximum = std::max<size_t>(1, maximum);
    minimum = std::clamp<size_t>(minimum, 1, maximum);
    waiting_.push_back(Pending{minimum, maximum, std::move(completion)});
}

void ReceiveQueue::append(const uint8_t* data, size_t count) {
    inbound_.insert(inbound_.end(), data, data + count);
}

std::optional<size_t> ReceiveQueue::service(const Deliver& deliver) {
    while (!waiting_.empty()) {
        auto& front = waiting_.front();
        if (inbound_.size() < front.minimum && !inputEnded_) return front.minimum;
        size_t count = std::min(inbound_.size(), front.maximum);
        std::optional<Bytes> data;
        if (count > 0) {
            data.emplace(inbound_.begin(), inbound_.begin() + static_cast<long>(count));
            inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<long>(count));
        }
        bool isComplete = inputEnded_ && inbound_.empty();
        auto completion = std::move(front.completion);
        waiting_.pop_front();
        deliver(std::move(completion), std::move(data), isComplete);
    }
    return std::nullopt;
}

std::vector<Connection::ReceiveCompletion> ReceiveQueue::takeWaiting() {
    std::vector<Connection::ReceiveCompletion> completions;
    for (auto& pending : waiting_) completions.push_back(std::move(pending.completion));
    waiting_.clear();
    return completions;
}

}  // namespace caldrovex::platform::net
