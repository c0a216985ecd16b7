#pragma once

#include <memory>
#include <mutex>

#include "adapters/mutter/MutterCaptureService.h"
#include "adapters/mutter/MutterDesktop.h"
#include "adapters/mutter/MutterRemoteSession.h"

namespace caldrovex::platform {

// One capture of one GNOME monitor: a remote-desktop session recording the monitor
// (MutterRemoteSession), and the consumer of its PipeWire node that delivers the pictures.
// While it runs, its session is the one input and the clipboard go to.
//
// Contract as CaptureStream: the start's completion runs on the bus or PipeWire thread; the
// stop's after the consumer's last picture, on the capture queue. A stream runs once. When the
// compositor ends the session, or the consumer's stream fails, the stop handler says so (once,
// and never after a stop was asked for). Dropping the object ends the session.
class MutterCaptureStream final : public CaptureStream,
                                  public std::enable_shared_from_this<MutterCaptureStream> {
public:
    MutterCaptureStream(std::shared_ptr<MutterDesktop> desktop, PictureStreamFactory pictures,
                        CaptureDisplay display, CaptureConfiguration configuration,
                        QueuePtr captureQueue, CaptureService::FrameHandler onFrame,
                        CaptureService::StopHandler onStop);
    ~MutterCaptureStream() override;

    void startCapture(Done done) override;
    void stopCapture(Done done) override;
    // The compositor's screen cast cannot leave windows out.
    void exclude(const std::set<uint32_t>& windowIDs, std::function<void(bool)> done) override;

private:
    enum class Phase { idle, starting, running, stopped };

    void sessionReady(std::optional<CaldrovexError> error, uint32_t nodeID, Done done);
    void consumerStarted(std::optional<CaldrovexError> error, Done done);
    void endedOnItsOwn(const std::string& message);
    void tearDown(Done done);

    std::shared_ptr<MutterDesktop> desktop_;
    PictureStreamFactory pictures_;
    CaptureDisplay display_;
    CaptureConfiguration configuration_;
    QueuePtr queue_;
    CaptureService::FrameHandler onFrame_;
    CaptureService::StopHandler onStop_;

    std::mutex mutex_;
    Phase phase_ = Phase::idle;                     // guarded by mutex_
    bool stopAsked_ = false;                        // guarded by mutex_
    bool endReported_ = false;                      // guarded by mutex_
    Done pendingStop_;                              // guarded by mutex_: asked while starting
    std::shared_ptr<MutterRemoteSession> session_;  // guarded by mutex_
    std::shared_ptr<CaptureStream> consumer_;       // guarded by mutex_
};

}  // namespace caldrovex::platform
