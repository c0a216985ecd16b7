#include "video/CaptureSchedule.h"

#include <algorithm>

namespace caldrovex {

CaptureSchedule::CaptureSchedule(int fps) : interval_(1.0 / std::max(fps, 1)) {}

std::optional<double> CaptureSchedule::due() const {
    if (!changed_) {
        return std::nullopt;
    }
    return lastTaken_ ? *lastTaken_ + interval_ : 0.0;
}

std::optional<double> CaptureSchedule::wait(double now) const {
    std::optional<double> at = due();
    if (!at) {
        return std::nullopt;
    }
    return std::max(*at - now, 0.0);
}

void CaptureSchedule::taken(double now) {
    lastTaken_ = now;
    changed_ = false;
}

}  // namespace caldrovex
