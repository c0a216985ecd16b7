#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "input/LocalInputWatcher.h"
#include "platform/Queue.h"

namespace caldrovex::platform {

// Watches this computer's own keyboard and pointer through XInput2 raw events on the root
// window (key presses, button presses, motion), read on a thread of its own with a connection
// of its own. Raw events are reported whatever window has the focus or grabs the devices.
//
// Every event names the slave device it came from. The host injects the device's input with
// XTest on a connection that has no client pointer of its own, so those events come from the
// XTEST devices of the first master pair ("Virtual core XTEST pointer" and "... keyboard");
// events from those devices never count. Any other device counts, the XTEST devices of other
// master pairs included (a test acting as a person at the computer adds a master and types
// through its XTEST keyboard).
//
// Contract: as LocalInputWatcher; reports are posted to `mainQueue`. The watching thread
// holds only shared state and ends on its own after `stop` (never waited for: a display server
// that stopped answering must not hold up the main queue).
class X11LocalInputWatcher final : public LocalInputWatcher {
public:
    // `displayName`: an X display name; nullopt means $DISPLAY.
    explicit X11LocalInputWatcher(QueuePtr mainQueue,
                                  std::optional<std::string> displayName = std::nullopt);
    ~X11LocalInputWatcher() override;

    X11LocalInputWatcher(const X11LocalInputWatcher&) = delete;
    X11LocalInputWatcher& operator=(const X11LocalInputWatcher&) = delete;

    std::optional<CaldrovexError> unavailable() const override { return unavailable_; }
    bool start(std::function<void()> onLocalInput) override;
    void stop() override;

    // Raw events read since the watcher was made, for tests: counted as local input, and
    // left aside as the host's own injections. Any thread.
    struct Counts {
        uint64_t counted = 0;
        uint64_t injected = 0;
    };
    Counts counts() const { return {counted_->load(), injected_->load()}; }

    struct Watch;

private:
    QueuePtr mainQueue_;
    std::optional<std::string> displayName_;
    std::optional<CaldrovexError> unavailable_;
    std::shared_ptr<std::atomic<uint64_t>> counted_;
    std::shared_ptr<std::atomic<uint64_t>> injected_;
    std::shared_ptr<Watch> watch_;  // while watching
};

}  // namespace caldrovex::platform
