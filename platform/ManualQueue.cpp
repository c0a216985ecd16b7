#include "platform/ManualQueue.h"

#include <thread>

namespace caldrovex::platform {

ManualQueue::ManualQueue(std::string label)
    : label_(std::move(label)),
      // 2026-01-01 00:00:00 UTC: a fixed, recognisable calendar origin for virtual time.
      wallOrigin_(WallTime(std::chrono::seconds(1767225600))) {}

void ManualQueue::post(Work work) {
    postAfter(0, std::move(work));
}

void ManualQueue::postAfter(double seconds, Work work) {
    std::lock_guard lock(mutex_);
    items_.push(Item{now_ + (seconds > 0 ? seconds : 0), nextSequence_++, std::move(work)});
}

bool ManualQueue::isCurrent() const {
    std::lock_guard lock(mutex_);
    return depth_ > 0 && runner_ == std::this_thread::get_id();
}

ManualQueue::Entered::Entered(ManualQueue& queue) : queue_(queue) {
    std::lock_guard lock(queue_.mutex_);
    queue_.runner_ = std::this_thread::get_id();
    ++queue_.depth_;
}

ManualQueue::Entered::~Entered() {
    std::lock_guard lock(queue_.mutex_);
    --queue_.depth_;
}

void ManualQueue::sync(Work work) {
    work();
}

double ManualQueue::monotonic() const {
    std::lock_guard lock(mutex_);
    return now_;
}

Clock::WallTime ManualQueue::wall() const {
    std::lock_guard lock(mutex_);
    return wallOrigin_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                             std::chrono::duration<double>(now_));
}

void ManualQueue::setWallOrigin(WallTime origin) {
    std::lock_guard lock(mutex_);
    wallOrigin_ = origin;
}

size_t ManualQueue::pending() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void ManualQueue::advance(double seconds) {
    double target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + (seconds > 0 ? seconds : 0);
    }
    for (;;) {
        Work work;
        {
            std::lock_guard lock(mutex_);
            if (items_.empty() || items_.top().due > target) break;
            // priority_queue::top is const; the item is popped right after, so moving is safe.
            Item& top = const_cast<Item&>(items_.top());
            work = std::move(top.work);
            if (top.due > now_) now_ = top.due;
            items_.pop();
            runner_ = std::this_thread::get_id();
            ++depth_;
        }
        work();
        std::lock_guard lock(mutex_);
        --depth_;
    }
    std::lock_guard lock(mutex_);
    if (target > now_) now_ = target;
}

}  // namespace caldrovex::platform
