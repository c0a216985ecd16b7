#include "platform/Clock.h"

namespace caldrovex::platform {

double SystemClock::monotonic() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Clock::WallTime SystemClock::wall() const {
    return std::chrono::system_clock::now();
}

ClockPtr SystemClock::shared() {
    static const ClockPtr clock = std::make_shared<SystemClock>();
    return clock;
}

}  // namespace caldrovex::platform
