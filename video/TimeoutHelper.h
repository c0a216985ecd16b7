#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include "platform/CaldrovexError.h"
#include "platform/Queue.h"

namespace caldrovex {

// Bounds one asynchronous platform call in time. The call and a timer race; whichever reports
// first decides the outcome, and the loser is ignored: the operation is not cancelled when the
// timer wins (its late result is dropped), and the timer is not cancelled when the operation
// wins (it fires later and does nothing).
//
// Contract:
// - `operation` receives a completion and must call it at most once, from any thread, with
//   the value or with the error. It may also fail synchronously by throwing CaldrovexError.
// - `completion` runs exactly once, on whichever thread delivered first: the operation's
//   thread (possibly inside `withTimeout` itself, when the operation finishes at once) or
//   `timerQueue`. Callers that own queue-bound state hop to their own queue from there.
// - `timerQueue` must stay alive until the timer has fired; the race itself is kept alive by
//   the two contenders, so the caller need not hold anything.

// A value or the error that replaced it. Operations that return nothing use `TimeoutDone`.
template <typename T>
using TimeoutOutcome = std::variant<T, CaldrovexError>;
using TimeoutDone = std::monostate;

// Shown to devices when the capture service does not answer in time.
inline constexpr const char* kCaptureTimedOutMessage =
    "This computer's capture service timed out. Retrying may restore the display.";

// One race: the first `finish` takes the completion out under the lock and runs it after the
// lock is released; every later `finish` finds it gone and returns.
template <typename T>
class TimeoutResult {
public:
    using Completion = std::function<void(TimeoutOutcome<T>)>;

    explicit TimeoutResult(Completion completion) : continuation_(std::move(completion)) {}

    // Callable from any thread, any number of times; only the first call delivers.
    void finish(TimeoutOutcome<T> outcome) {
        std::optional<Completion> taken;
        {
            std::lock_guard lock(lock_);
            if (finished_) return;
            finished_ = true;
            taken.swap(continuation_);
        }
        if (taken && *taken) (*taken)(std::move(outcome));
    }

private:
    std::mutex lock_;
    std::optional<Completion> continuation_;  // guarded by lock_
    bool finished_ = false;                   // guarded by lock_
};

template <typename T>
void withTimeout(platform::Queue& timerQueue, double seconds,
                 std::function<void(std::function<void(TimeoutOutcome<T>)>)> operation,
                 std::function<void(TimeoutOutcome<T>)> completion) {
    auto race = std::make_shared<TimeoutResult<T>>(std::move(completion));
    try {
        operation([race](TimeoutOutcome<T> outcome) { race->finish(std::move(outcome)); });
    } catch (const CaldrovexError& error) {
        race->finish(TimeoutOutcome<T>(std::in_place_index<1>, error));
    }
    timerQueue.postAfter(seconds, [race] {
        race->finish(
            TimeoutOutcome<T>(std::in_place_index<1>, CaldrovexError(kCaptureTimedOutMessage)));
    });
}

}  // namespace caldrovex
