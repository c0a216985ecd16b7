#pragma once

#include <functional>
#include <optional>

#include "input/LocalInputWatcher.h"
#include "platform/Queue.h"

namespace caldrovex::test {

// Local input that the test makes: `personTyped` reports it on the main queue, as the real
// watcher does, while watching.
class FakeLocalInputWatcher final : public LocalInputWatcher {
public:
    explicit FakeLocalInputWatcher(platform::QueuePtr mainQueue)
        : mainQueue_(std::move(mainQueue)) {}

    std::optional<CaldrovexError> unavailable() const override { return unavailableReason; }
    bool start(std::function<void()> onLocalInput) override {
        if (watching()) return true;
        if (unavailableReason || refuseStart) return false;
        callback_ = std::move(onLocalInput);
        return true;
    }
    void stop() override { callback_ = nullptr; }

    bool watching() const { return callback_ != nullptr; }
    // Someone at the computer pressed a key (or moved the pointer).
    void personTyped() {
        if (!watching()) return;
        // Not after `stop`, as with the real watcher.
        mainQueue_->post([this] {
            if (callback_) callback_();
        });
    }

    std::optional<CaldrovexError> unavailableReason;
    // `start` fails although the watcher is available (the display went away meanwhile).
    bool refuseStart = false;

private:
    platform::QueuePtr mainQueue_;
    std::function<void()> callback_;
};

}  // namespace caldrovex::test
