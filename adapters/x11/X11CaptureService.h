#pragma once

#include <optional>
#include <string>

#include "platform/Clock.h"
#include "video/CaptureService.h"

namespace caldrovex::platform {

// The X11 screen capture service: the displays are the X screen's RandR monitors (see
// x11CaptureDisplays), each captured by an X11CaptureStream. Each query and each stream uses
// a connection of its own, so a display server that stops answering stalls only that call,
// which the screen streamer bounds in time.
//
// Callable from any thread. `displays` answers on a short-lived thread of its own.
class X11CaptureService final : public CaptureService {
public:
    // `displayName`: an X display name; nullopt means $DISPLAY. `clock` stamps pictures and
    // must be the clock the video pipeline runs on.
    explicit X11CaptureService(std::optional<std::string> displayName = std::nullopt,
                               ClockPtr clock = SystemClock::shared());

    void displays(std::function<void(TimeoutOutcome<std::vector<CaptureDisplay>>)> done) override;
    std::shared_ptr<CaptureStream> makeStream(const CaptureDisplay& display,
                                              const CaptureConfiguration& configuration,
                                              QueuePtr captureQueue, FrameHandler onFrame,
                                              StopHandler onStop) override;

    // The display list, on the calling thread. Throws CaldrovexError when the display cannot
    // be opened.
    static std::vector<CaptureDisplay> listDisplays(const std::optional<std::string>& displayName);

private:
    std::optional<std::string> displayName_;
    ClockPtr clock_;
};

}  // namespace caldrovex::platform
