#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "platform/Queue.h"

namespace caldrovex::platform {

// A labelled serial queue: an Asio strand on a worker pool shared by all serial queues.
// Work posted from any thread runs one item at a time in posting order.
class SerialQueue final : public Queue {
public:
    explicit SerialQueue(std::string label);
    static std::shared_ptr<SerialQueue> make(std::string label) {
        return std::make_shared<SerialQueue>(std::move(label));
    }

    const std::string& label() const override { return label_; }
    void post(Work work) override;
    void postAfter(double seconds, Work work) override;
    bool isCurrent() const override;
    void sync(Work work) override;

    // The strand, for Asio objects (sockets, timers) whose handlers must run on this queue.
    using Executor = asio::strand<asio::thread_pool::executor_type>;
    const Executor& executor() const { return strand_; }

    // The pool every serial queue runs on.
    static asio::thread_pool& pool();

    // Stops the pool and waits for its threads. A program calls it once, as main returns, so
    // that no pool thread still runs (say, describing a socket error) while the process's
    // static objects are destroyed. Work not yet run, or posted later, never runs.
    static void shutdown();

private:
    std::string label_;
    Executor strand_;
};

}  // namespace caldrovex::platform
