#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "host/CaptureTask.h"
#include "input/LocalInputWatcher.h"
#include "input/PrivacyCurtain.h"
#include "input/ScreenChangeNotifier.h"
#include "platform/CaldrovexError.h"
#include "platform/Queue.h"
#include "video/ScreenStreamer.h"

namespace caldrovex {

class HostController;

// When the privacy curtain shows. It is wanted while the setting is on, a session's stream is
// ready and nobody at this computer has lifted it; `applyCurtain` brings it into that state
// whenever one of those may have changed (the setting, a stream starting, restarting or
// failing, the session's end, the screens, local input).
//
// Showing is the careful direction: the curtain's windows are prepared invisible, the capture
// is asked to leave them out, and only when it confirmed that and a short settle time passed
// are they revealed, so the device never sees them. Each `applyCurtain` raises a generation;
// the showing steps run as serial tasks (each after the one before) and do nothing once a
// newer call came. Hiding is immediate.
//
// While shown, input at this computer (never the host's own injections) lifts the curtain for
// the rest of the session and tells the device once.
//
// Where the curtain or the watching of local input cannot work here, the curtain is never
// shown and `unavailable` says why.
//
// Contract: made with `make` and owned by the controller for its whole life, on its main
// queue; every call is made there. Work it queues (curtain tasks, exclusion answers, local
// input and screen change reports) holds it weakly. The curtain, watcher, notifier and
// screen streamer must outlive it.
class CurtainControl : public std::enable_shared_from_this<CurtainControl> {
public:
    // After the capture confirmed it leaves the windows out, frames built before that answer
    // may still be on their way through the pipeline; the curtain waits this long.
    static constexpr double kExclusionSettleSeconds = 0.12;
    static constexpr const char* kLiftedLocally =
        "Someone at this computer used its keyboard or mouse, so its screen is no longer dimmed.";

    struct Parts {
        std::shared_ptr<PrivacyCurtain> curtain;
        std::shared_ptr<LocalInputWatcher> localInput;
        std::shared_ptr<ScreenChangeNotifier> screenChanges;
        std::shared_ptr<ScreenStreamer> screen;
    };

    // A copy of the inner state, for tests.
    struct DebugState {
        int generation = 0;
        bool liftedLocally = false;
        bool watchingLocalInput = false;
    };

    static std::shared_ptr<CurtainControl> make(HostController& controller,
                                                platform::QueuePtr mainQueue, Parts parts);
    ~CurtainControl();

    CurtainControl(const CurtainControl&) = delete;
    CurtainControl& operator=(const CurtainControl&) = delete;

    // Brings the curtain into the state the conditions call for.
    void applyCurtain();
    // The session ended: a curtain lifted at this computer may come back for the next one.
    void sessionEnded();

    // Why the curtain cannot be shown here; nullopt when it can.
    const std::optional<CaldrovexError>& unavailable() const { return unavailable_; }

    DebugState debugState() const;

private:
    CurtainControl(HostController& controller, platform::QueuePtr mainQueue, Parts parts);
    void watchScreens();
    std::weak_ptr<CurtainControl> weak() { return weak_from_this(); }

    bool wanted() const;
    void show(int generation, std::set<uint32_t> windowIDs, std::function<void()> finish);
    void settled(int generation, bool excluded);
    void hide();
    bool watchLocalInput();
    void stopWatchingLocalInput();
    void localInput();

    HostController& controller_;
    const platform::QueuePtr mainQueue_;
    const Parts parts_;
    const std::optional<CaldrovexError> unavailable_;

    // Counts `applyCurtain` calls; a curtain task acts only while its own is the latest.
    int generation_ = 0;
    // The newest curtain-showing task.
    std::shared_ptr<CaptureTask> curtainTask_;
    // Input at this computer lifted the curtain; it stays down until the session ends.
    bool liftedLocally_ = false;
    bool watching_ = false;
};

}  // namespace caldrovex
