#include "host/CurtainControl.h"

#include "host/HostController.h"
#include "host/Session.h"

namespace caldrovex {

namespace {

// The first reason the curtain cannot work here: its windows, or the watching of local input
// that lets a person at the computer lift it.
std::optional<CaldrovexError> firstUnavailable(const CurtainControl::Parts& parts) {
    if (auto reason = parts.curtain->unavailable()) return reason;
    return parts.localInput->unavailable();
}

}  // namespace

std::shared_ptr<CurtainControl> CurtainControl::make(HostController& controller,
                                                     platform::QueuePtr mainQueue, Parts parts) {
    std::shared_ptr<CurtainControl> control(
        new CurtainControl(controller, std::move(mainQueue), std::move(parts)));
    control->watchScreens();
    return control;
}

CurtainControl::CurtainControl(HostController& controller, platform::QueuePtr mainQueue,
                               Parts parts)
    : controller_(controller),
      mainQueue_(std::move(mainQueue)),
      parts_(std::move(parts)),
      unavailable_(firstUnavailable(parts_)) {}

CurtainControl::~CurtainControl() {
    parts_.screenChanges->onScreensChanged = nullptr;
    // Nothing that the host showed stays on the screen once the host is gone.
    hide();
}

void CurtainControl::watchScreens() {
    // Windows must cover the screens as they are now: a new screen gets its window, shown
    // only after the capture confirmed it leaves that one out too.
    parts_.screenChanges->onScreensChanged = [weak = weak()] {
        if (auto self = weak.lock()) self->applyCurtain();
    };
}

bool CurtainControl::wanted() const {
    auto session = controller_.session();
    return !unavailable_ && controller_.published().curtainEnabled && session &&
           session->streamReady() && !liftedLocally_;
}

void CurtainControl::applyCurtain() {
    const int generation = ++generation_;
    if (!wanted()) return hide();
    parts_.curtain->prepare();
    curtainTask_ = CaptureTask::after(
        curtainTask_, mainQueue_,
        [weak = weak(), generation, ids = parts_.curtain->windowIDs()](auto finish) {
            auto self = weak.lock();
            if (!self || self->generation_ != generation) return finish();
            self->show(generation, ids, std::move(finish));
        });
}

void CurtainControl::show(int generation, std::set<uint32_t> windowIDs,
                          std::function<void()> finish) {
    // The answer may come on any thread; the settle time counts from it.
    parts_.screen->exclude(std::move(windowIDs), [weak = weak(), queue = mainQueue_, generation,
                                                  finish](bool excluded) {
        queue->postAfter(kExclusionSettleSeconds, [weak, generation, excluded, finish] {
            if (auto self = weak.lock()) self->settled(generation, excluded);
            finish();
        });
    });
}

void CurtainControl::settled(int generation, bool excluded) {
    if (generation != generation_) return;
    // A curtain that nobody at the computer could lift is not shown: watching comes first.
    if (excluded && wanted() && watchLocalInput()) return parts_.curtain->reveal();
    hide();
}

void CurtainControl::hide() {
    parts_.curtain->hide();
    stopWatchingLocalInput();
}

bool CurtainControl::watchLocalInput() {
    if (watching_) return true;
    watching_ = parts_.localInput->start([weak = weak()] {
        if (auto self = weak.lock()) self->localInput();
    });
    return watching_;
}

void CurtainControl::stopWatchingLocalInput() {
    if (!watching_) return;
    parts_.localInput->stop();
    watching_ = false;
}

void CurtainControl::localInput() {
    auto session = controller_.session();
    if (liftedLocally_ || !session || !session->streamReady()) return;
    liftedLocally_ = true;
    applyCurtain();
    session->notice(kLiftedLocally);
}

void CurtainControl::sessionEnded() {
    liftedLocally_ = false;
    applyCurtain();
}

CurtainControl::DebugState CurtainControl::debugState() const {
    return {generation_, liftedLocally_, watching_};
}

}  // namespace caldrovex
