#include "platform/AsioMainQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <future>

namespace caldrovex::platform {

AsioMainQueue::AsioMainQueue(std::string label)
    : label_(std::move(label)), guard_(asio::make_work_guard(context_)) {}

void AsioMainQueue::post(Work work) { asio::post(context_, std::move(work)); }

void AsioMainQueue::postAfter(double seconds, Work work) {
    if (seconds <= 0) return post(std::move(work));
    auto timer = std::make_shared<asio::steady_timer>(
        context_, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(seconds)));
    timer->async_wait([timer, work = std::move(work)](const std::error_code& error) {
        if (!error) work();
    });
}

bool AsioMainQueue::isCurrent() const {
    return const_cast<asio::io_context&>(context_).get_executor().running_in_this_thread();
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
    context_.restart();
    context_.run();
}

void AsioMainQueue::runFor(double seconds) {
    context_.restart();
    context_.run_for(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds)));
}

void AsioMainQueue::stop() { context_.stop(); }

}  // namespace caldrovex::platform
