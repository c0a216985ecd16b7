#pragma once

#include <functional>
#include <memory>
#include <string>

namespace caldrovex::platform {

// A serial executor: work posted to one queue runs one item at a time, in posting order
// (delayed work in order of its due time). Every component that owns state names the queue
// that state belongs to and touches it only there.
//
// Implementations: SerialQueue (a strand on the shared worker pool), AsioMainQueue (an
// io_context run by one thread, for tools and loopback tests), ManualQueue (virtual time,
// for unit tests) and the Qt main queue of the host executable.
class Queue {
public:
    using Work = std::function<void()>;

    virtual ~Queue() = default;

    virtual const std::string& label() const = 0;

    // Runs `work` later on this queue. Callable from any thread.
    virtual void post(Work work) = 0;

    // Runs `work` on this queue once `seconds` have passed (0 or less: as soon as possible).
    virtual void postAfter(double seconds, Work work) = 0;

    // True while the calling thread is running work of this queue.
    virtual bool isCurrent() const = 0;

    // Runs `work` on this queue and returns when it has run. Runs it in place when the caller
    // is already on the queue, so it never deadlocks on itself.
    virtual void sync(Work work) = 0;
};

using QueuePtr = std::shared_ptr<Queue>;

}  // namespace caldrovex::platform
