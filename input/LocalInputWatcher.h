#pragma once

#include <functional>
#include <optional>

#include "platform/CaldrovexError.h"

namespace caldrovex {

// Tells when someone at this computer uses its own keyboard or pointer: a key or button
// pressed (the wheel included) or the pointer moved. Input that the host itself injects for
// the device never counts.
//
// Contract: `start` and `stop` are called on the main queue, and `onLocalInput` runs there.
// Input arriving while a report still waits to run is folded into it, so a burst of motion
// makes one call, not hundreds. Once `stop` has returned, `onLocalInput` is not called again.
class LocalInputWatcher {
public:
    virtual ~LocalInputWatcher() = default;

    // Why local input cannot be watched here, as a sentence for the user; nullopt when it can.
    virtual std::optional<CaldrovexError> unavailable() const = 0;

    // Starts watching, unless already watching (the earlier callback then stays). False when
    // watching could not be set up; nothing runs then.
    virtual bool start(std::function<void()> onLocalInput) = 0;

    // Stops watching; does nothing when not watching.
    virtual void stop() = 0;
};

}  // namespace caldrovex
