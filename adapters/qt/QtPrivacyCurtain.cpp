#include "adapters/qt/QtPrivacyCurtain.h"

#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QScreen>

#include <X11/Xlib.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace caldrovex::platform {

namespace {

constexpr const char* kNoDisplay = "This computer's screen cannot be dimmed without an X display.";

bool waylandSession() {
    const char* session = std::getenv("XDG_SESSION_TYPE");
    return QGuiApplication::platformName().startsWith(QStringLiteral("wayland")) ||
           (session != nullptr && std::strcmp(session, "wayland") == 0);
}

// The name of the X display Qt shows its windows on; nullopt when Qt is not on X11.
std::optional<std::string> qtDisplayName() {
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    // Other platforms (offscreen, for one) may answer for X11 too, without a display of theirs.
    if (gui == nullptr || QGuiApplication::platformName() != QStringLiteral("xcb")) {
        return std::nullopt;
    }
    auto* x11 = gui->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->display() == nullptr) return std::nullopt;
    return std::string(XDisplayString(x11->display()));
}

// On a Wayland session, X clients (through Xwayland) can neither cover the whole desktop nor
// hear its input, so the curtain is refused there even when Qt itself runs on X11.
std::optional<CaldrovexError> availability(const QtPrivacyCurtain::Platform& platform) {
    // Said first: a Wayland session runs the host without a GUI application at all.
    if (waylandSession()) return CaldrovexError(QtPrivacyCurtain::kWaylandSentence);
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return CaldrovexError(kNoDisplay);
    }
    std::optional<std::string> name = qtDisplayName();
    if (!name || !platform.unavailable || !platform.openKeeper) return CaldrovexError(kNoDisplay);
    return platform.unavailable(*name);
}

QList<QRect> qtScreenAreas() {
    QList<QRect> areas;
    for (QScreen* screen : QGuiApplication::screens()) areas.push_back(screen->geometry());
    return areas;
}

}  // namespace

QtPrivacyCurtain::QtPrivacyCurtain(Platform platform, ScreenAreas screenAreas)
    : platform_(std::move(platform)),
      unavailable_(availability(platform_)),
      screenAreas_(screenAreas ? std::move(screenAreas) : ScreenAreas(qtScreenAreas)) {}

QtPrivacyCurtain::~QtPrivacyCurtain() {
    stopFade();
    keeperEvents_.reset();
}

void QtPrivacyCurtain::keepOnTop(bool shown) {
    if (!keeper_ && shown && !unavailable_) {
        std::optional<std::string> name = qtDisplayName();
        if (name) keeper_ = platform_.openKeeper(*name);
        if (!keeper_) return;
        keeperEvents_ =
            std::make_unique<QSocketNotifier>(keeper_->descriptor(), QSocketNotifier::Read);
        QObject::connect(keeperEvents_.get(), &QSocketNotifier::activated,
                         [keeper = keeper_.get()] { keeper->handlePending(); });
    }
    if (!keeper_) return;
    std::vector<uint32_t> kept;
    if (shown) {
        for (const auto& window : windows_) {
            if (window->isVisible()) kept.push_back(static_cast<uint32_t>(window->winId()));
        }
    }
    keeper_->keep(std::move(kept));
}

void QtPrivacyCurtain::stopFade() {
    if (fade_) {
        fade_->stop();
        fade_.reset();
    }
}

void QtPrivacyCurtain::prepare() {
    if (unavailable_) return;
    std::vector<std::unique_ptr<CurtainWindow>> old = std::move(windows_);
    windows_.clear();
    for (const QRect& area : screenAreas_()) {
        auto same = std::find_if(old.begin(), old.end(), [&](const auto& window) {
            return window && window->covered() == area;
        });
        if (same != old.end()) {
            windows_.push_back(std::move(*same));
        } else {
            windows_.push_back(std::make_unique<CurtainWindow>(area));
        }
    }
    bool dropped = false;
    for (auto& window : old) {
        if (!window) continue;
        dropped = true;
        window->hide();
    }
    // The fade may still animate a dropped window.
    if (dropped) stopFade();
    if (keeper_) {
        bool shown = std::any_of(windows_.begin(), windows_.end(),
                                 [](const auto& window) { return window->isVisible(); });
        keepOnTop(shown);
    }
}

std::set<uint32_t> QtPrivacyCurtain::windowIDs() const {
    std::set<uint32_t> ids;
    for (const auto& window : windows_) ids.insert(static_cast<uint32_t>(window->winId()));
    return ids;
}

void QtPrivacyCurtain::reveal() {
    if (windows_.empty()) return;
    stopFade();
    fade_ = std::make_unique<QParallelAnimationGroup>();
    for (const auto& window : windows_) {
        if (!window->isVisible()) {
            window->setOpacity(0);
            window->show();
        }
        // Newer windows lie above older ones: mapped at last, the curtain must come up.
        window->raise();
        auto* animation = new QPropertyAnimation(window.get(), "opacity", fade_.get());
        animation->setDuration(static_cast<int>(kFadeSeconds * 1000));
        animation->setStartValue(window->opacity());
        animation->setEndValue(1.0);
        fade_->addAnimation(animation);
    }
    fade_->start();
    keepOnTop(true);
}

void QtPrivacyCurtain::hide() {
    stopFade();
    keepOnTop(false);
    for (const auto& window : windows_) {
        window->hide();
        window->setOpacity(0);
    }
}

}  // namespace caldrovex::platform
