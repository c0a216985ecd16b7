#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/Queue.h"

namespace caldrovex {

// One link in a chain of work on the main queue: capture work (starting or stopping the
// screen streamer), or showing the curtain. A task begins only once the task before it has
// finished, so two captures never run side by side and a stop never overtakes the start
// before it.
//
// Used on one queue (the host's main queue); not thread-safe. A task never holds its
// predecessor (the predecessor holds the start of its successor), so finished links are
// freed and the chain does not grow with every request.
class CaptureTask : public std::enable_shared_from_this<CaptureTask> {
public:
    // Called with the function that finishes the task; it must be called exactly once,
    // possibly later. Extra calls do nothing.
    using Body = std::function<void(std::function<void()> finish)>;

    // Makes a task that runs `body` on `queue` after `previous` (null: at once, posted).
    static std::shared_ptr<CaptureTask> after(const std::shared_ptr<CaptureTask>& previous,
                                              platform::QueuePtr queue, Body body);

    bool finished() const { return finished_; }

private:
    CaptureTask(platform::QueuePtr queue, Body body);
    void whenFinished(std::function<void()> next);
    void begin();
    void finish();

    platform::QueuePtr queue_;
    Body body_;
    bool finished_ = false;
    std::vector<std::function<void()>> waiters_;
};

}  // namespace caldrovex
