#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Queue.h"

namespace caldrovex::platform {

// A main queue for tools and loopback tests: an io_context run by whichever thread calls
// `run`, until `stop`. The host executable uses the Qt event loop instead.
class AsioMainQueue final : public Queue {
public:
    explicit AsioMainQueue(std::string label = "main");
    ~AsioMainQueue() override;

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

    // Drops all work not yet run, and all work posted later: for a program whose main loop is
    // over. Posted work may hold objects that hold this queue (a connection delivering to it);
    // dropping the work lets them go instead of keeping each other alive for good. Not while
    // `run` runs.
    void close();

private:
    std::shared_ptr<asio::io_context> context() const;

    std::string label_;
    mutable std::mutex mutex_;
    std::shared_ptr<asio::io_context> context_;  // null once closed; guarded by mutex_
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
};

}  // namespace caldrovex::platform
