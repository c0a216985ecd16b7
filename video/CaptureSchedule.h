#pragma once

#include <optional>

namespace caldrovex {

// When a change-driven capture takes its next picture. The first picture is taken at once;
// after that a picture is taken only when the screen changed, as soon as it changed, but
// never sooner than one frame interval after the previous picture: a change inside the
// interval is taken the moment the interval ends. There is no clock tick, so a still screen
// costs nothing and a change is never held back waiting for one.
//
// Pure logic on times the caller passes (seconds); owned by one thread (the capture thread).
class CaptureSchedule {
public:
    // `fps` below 1 counts as 1.
    explicit CaptureSchedule(int fps);

    // The screen changed (damage, cursor) since the last picture.
    void changed() { changed_ = true; }
    bool hasChange() const { return changed_; }

    // When the next picture is due; nullopt while nothing changed. A time at or before now
    // means "now".
    std::optional<double> due() const;

    // Seconds to wait from `now` until the next picture (0: take it now); nullopt: wait for
    // a change.
    std::optional<double> wait(double now) const;

    // A picture was taken at `now`; changes seen before it are covered by it.
    void taken(double now);

    double interval() const { return interval_; }

private:
    double interval_;
    std::optional<double> lastTaken_;
    // The first picture is owed from the start.
    bool changed_ = true;
};

}  // namespace caldrovex
