#include "platform/SerialQueue.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <future>
#include <thread>

namespace caldrovex::platform {

asio::thread_pool& SerialQueue::pool() {
    // Deliberately leaked: queues may still post while static destructors run at exit.
    static auto* pool = new asio::thread_pool(std::max(4u, std::thread::hardware_concurrency()));
    return *pool;
}

void SerialQueue::shutdown() {
    pool().stop();
    pool().join();
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), strand_(asio::make_strand(pool().get_executor())) {}

void SerialQueue::post(Work work) {
    asio::post(strand_, std::move(work));
}

void SerialQueue::postAfter(double seconds, Work work) {
    if (seconds <= 0) return post(std::move(work));
    auto timer = std::make_shared<asio::steady_timer>(
        strand_, std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(seconds)));
    timer->async_wait([timer, work = std::move(work)](const std::error_code& error) {
        if (!error) work();
    });
}

bool SerialQueue::isCurrent() const {
    return strand_.running_in_this_thread();
}

void SerialQueue::sync(Work work) {
    if (isCurrent()) return work();
    std::promise<void> done;
    post([&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

}  // namespace caldrovex::platform
