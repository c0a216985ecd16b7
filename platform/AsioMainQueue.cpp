#include "platform/AsioMainQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <future>

namespace caldrovex::platform {

AsioMainQueue::AsioMainQueue(std::string label)
    : label_(std::move(label)), context_(std::make_shared<asio::io_context>()) {
    guard_.emplace(asio::make_work_guard(*context_));
}

AsioMainQueue::~AsioMainQueue() {
    close();
}

std::shared_ptr<asio::io_context> AsioMainQueue::context() const {
    std::lock_guard lock(mutex_);
    return context_;
}

void AsioMainQueue::post(Work work) {
    if (auto context = this->context()) asio::post(*context, std::move(work));
}

void AsioMainQueue::postAfter(double seconds, Work work) {
    if (seconds <= 0) return post(std::move(work));
    auto context = this->context();
    if (!context) return;
    auto timer = std::make_shared<asio::steady_timer>(
        *context, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(seconds)));
    timer->async_wait([timer, work = std::move(work)](const std::error_code& error) {
        if (!error) work();
    });
}

bool AsioMainQueue::isCurrent() const {
    auto context = this->context();
    return context && context->get_executor().running_in_this_thread();
}

void AsioMainQueue::sync(Work work) {
    if (isCurrent()) return work();
    std::promise<void> done;
    post([&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

void AsioMainQueue::run() {
    if (auto context = this->context()) {
        context->restart();
        context->run();
    }
}

void AsioMainQueue::runFor(double seconds) {
    if (auto context = this->context()) {
        context->restart();
        context->run_for(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds)));
    }
}

void AsioMainQueue::stop() {
    if (auto context = this->context()) context->stop();
}

void AsioMainQueue::close() {
    std::shared_ptr<asio::io_context> closing;
    {
        std::lock_guard lock(mutex_);
        closing = std::move(context_);
        context_.reset();
        guard_.reset();
    }
    // Destroying the context destroys its pending work, outside the lock: what that work
    // releases may post again, and finds the queue closed.
    closing.reset();
}

}  // namespace caldrovex::platform
