#pragma once

#include <QParallelAnimationGroup>
#include <QSocketNotifier>

#include <QList>
#include <QRect>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapters/qt/CurtainWindow.h"
#include "input/PrivacyCurtain.h"
#include "input/TopmostKeeper.h"

namespace caldrovex::platform {

// The privacy curtain with Qt windows on X11 (see CurtainWindow): one per screen in the
// order of Qt's screen list, reused across `prepare` calls while their screen keeps its
// place and size.
//
// A prepared window exists (it has its X11 id, which the capture can be told to leave out)
// but is not mapped: without a compositing manager an X window cannot be mapped yet
// invisible, since its opacity is a hint only such a manager reads. `reveal` maps the
// windows, raises them above all others and animates their opacity 0 → 1 over 0.4 s (with a
// compositing manager a fade; without one the curtain appears at once); hiding unmaps them
// and sets their opacity back to 0. While shown they are kept above every window mapped or
// raised later (the platform's TopmostKeeper, read from the Qt event loop).
//
// Available only on an X11 session (Qt's xcb platform, not a Wayland session) whose display
// has what the curtain needs (the platform's `unavailable`); otherwise it never makes a
// window.
//
// Contract: as PrivacyCurtain; made after the QGuiApplication, on its thread.
class QtPrivacyCurtain final : public PrivacyCurtain {
public:
    static constexpr const char* kWaylandSentence =
        "This computer's screen cannot be dimmed on a Wayland session.";

    // The areas of the screens, in logical pixels, in order.
    using ScreenAreas = std::function<QList<QRect>()>;

    // What the curtain asks of the X display Qt shows its windows on (named as Xlib names
    // it), given by the application, which knows the X11 side.
    struct Platform {
        // Why that display cannot carry the curtain; nullopt when it can.
        std::function<std::optional<CaldrovexError>(const std::string& displayName)> unavailable;
        // A keeper of windows on top on that display; null when it cannot be had.
        std::function<std::unique_ptr<TopmostKeeper>(const std::string& displayName)> openKeeper;
    };

    // `platform` with both members set; without them the curtain is unavailable.
    // `screenAreas`: Qt's screens when empty; tests pass areas of their own.
    explicit QtPrivacyCurtain(Platform platform, ScreenAreas screenAreas = {});
    ~QtPrivacyCurtain() override;

    QtPrivacyCurtain(const QtPrivacyCurtain&) = delete;
    QtPrivacyCurtain& operator=(const QtPrivacyCurtain&) = delete;

    std::optional<CaldrovexError> unavailable() const override { return unavailable_; }
    void prepare() override;
    std::set<uint32_t> windowIDs() const override;
    void reveal() override;
    void hide() override;

    // The windows, for tests: in the order of the screens they cover.
    const std::vector<std::unique_ptr<CurtainWindow>>& windows() const { return windows_; }

private:
    void stopFade();
    void keepOnTop(bool shown);

    Platform platform_;
    std::optional<CaldrovexError> unavailable_;
    ScreenAreas screenAreas_;
    std::vector<std::unique_ptr<CurtainWindow>> windows_;
    std::unique_ptr<QParallelAnimationGroup> fade_;
    std::unique_ptr<TopmostKeeper> keeper_;  // once first revealed
    std::unique_ptr<QSocketNotifier> keeperEvents_;
};

}  // namespace caldrovex::platform
