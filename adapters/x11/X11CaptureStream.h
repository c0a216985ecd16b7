#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "video/CaptureService.h"

namespace caldrovex::platform {

// Captures one X11 display rectangle on a thread of its own with its own connection to the
// X server. The thread sleeps in poll() on the connection and a wake-up descriptor: XDamage
// tells it the screen changed, XFixes that the pointer's image changed, XInput2 raw motion
// that the pointer moved. It takes a picture as soon as something changed, never sooner
// than 1/fps after the previous one (CaptureSchedule), grabs it through shared memory, draws
// the pointer in, converts it to NV12 at the stream size and posts it to the capture queue.
// A still screen yields nothing after the first picture. Damage comes as raw rectangles, so
// the rows that changed are known without asking: only those (and the pointer's, where it was
// and where it is) are fetched and converted again, the rest carried over from the previous
// picture (FrameConverter).
//
// While windows are to be left out (`exclude`), pictures are composed from the other
// windows' own contents instead (X11WindowCompositor), and their changes are what count;
// without the Composite or Render extension, `exclude` answers false.
//
// Contract:
// - Methods may be called from any thread. The start's completion runs on the capture
//   thread; the stop's on the capture queue, after every picture posted before it.
// - A stream runs once: start, then stop. Dropping the object asks the thread to end without
//   waiting for it; pictures it posts meanwhile still reach the frame handler, whose owner
//   tells them apart (the screen streamer drops pictures of streams that are not current).
// - The stop handler runs on the capture thread when the stream ends on its own (the display
//   went away); no picture follows it.
class X11CaptureStream final : public CaptureStream {
public:
    X11CaptureStream(std::optional<std::string> displayName, CaptureDisplay display,
                     CaptureConfiguration configuration, QueuePtr captureQueue, ClockPtr clock,
                     CaptureService::FrameHandler onFrame, CaptureService::StopHandler onStop);
    ~X11CaptureStream() override;

    X11CaptureStream(const X11CaptureStream&) = delete;
    X11CaptureStream& operator=(const X11CaptureStream&) = delete;

    void startCapture(Done done) override;
    void stopCapture(Done done) override;
    // Leaves out the top-level windows holding `windowIDs` (an empty set: none) from the next
    // picture on. Answers on the capture thread: true once that picture is posted; false at
    // once when a window does not exist (the windows left out so far stay so), when the
    // display lacks Composite or Render, when the stream does not run or stops first, or
    // when a newer request replaced this one before its picture.
    void exclude(const std::set<uint32_t>& windowIDs, std::function<void(bool)> done) override;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    std::mutex threadMutex_;
    std::thread thread_;  // guarded by threadMutex_
};

}  // namespace caldrovex::platform
