#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <thread>

#include "platform/Queue.h"

namespace caldrovex::platform {

// A main queue for tools and loopback tests: an io_context run by whichever thread calls
// `run`, until `stop`. The host executable uses the Qt event loop instead.
class AsioMainQueue final : public Queue {
public:
    explicit AsioMainQueue(std::string label = "main");

    const std::string& label() const override { return label_; }
    void post(Work work) override;
    void postAfter(double seconds, Work work) override;
    bool isCurrent() const override;
    void sync(Work work) override;

    // Runs posted work on the calling thread until `stop` is called.
    void run();
    // Runs posted work on the calling thread for at most `seconds`, or until `stop`.
    void runFor(double seconds);
    void stop();

    asio::io_context& context() { return context_; }

private:
    std::string label_;
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

}  // namespace caldrovex::platform
