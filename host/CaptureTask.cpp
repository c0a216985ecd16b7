#include "host/CaptureTask.h"

namespace caldrovex {

std::shared_ptr<CaptureTask> CaptureTask::after(const std::shared_ptr<CaptureTask>& previous,
                                                platform::QueuePtr queue, Body body) {
    std::shared_ptr<CaptureTask> task(new CaptureTask(std::move(queue), std::move(body)));
    auto start = [task] { task->queue_->post([task] { task->begin(); }); };
    if (previous)
        previous->whenFinished(std::move(start));
    else
        start();
    return task;
}

CaptureTask::CaptureTask(platform::QueuePtr queue, Body body)
    : queue_(std::move(queue)), body_(std::move(body)) {}

void CaptureTask::whenFinished(std::function<void()> next) {
    if (finished_) return next();
    waiters_.push_back(std::move(next));
}

void CaptureTask::begin() {
    auto body = std::move(body_);
    body_ = nullptr;
    // The finish function keeps the task (and so its successors) alive until it is called.
    body([self = shared_from_this()] { self->finish(); });
}

void CaptureTask::finish() {
    if (finished_) return;
    finished_ = true;
    auto waiters = std::move(waiters_);
    waiters_.clear();
    for (auto& waiter : waiters) waiter();
}

}  // namespace caldrovex
