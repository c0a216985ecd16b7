#pragma once

#include <chrono>

namespace caldrovex::bench {

// Seconds of CLOCK_MONOTONIC (the steady clock), the clock every stamp of the bench, of its
// child processes' lines and of the device uses.
inline double monotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace caldrovex::bench
