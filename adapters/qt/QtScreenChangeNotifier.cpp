#include "adapters/qt/QtScreenChangeNotifier.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace caldrovex::platform {

QtScreenChangeNotifier::QtScreenChangeNotifier() {
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (gui == nullptr) return;
    QObject::connect(gui, &QGuiApplication::screenAdded, &context_, [this](QScreen* screen) {
        watch(screen);
        changed();
    });
    QObject::connect(gui, &QGuiApplication::screenRemoved, &context_, [this] { changed(); });
    QObject::connect(gui, &QGuiApplication::primaryScreenChanged, &context_, [this] { changed(); });
    for (QScreen* screen : QGuiApplication::screens()) watch(screen);
}

void QtScreenChangeNotifier::watch(QScreen* screen) {
    QObject::connect(screen, &QScreen::geometryChanged, &context_, [this] { changed(); });
}

void QtScreenChangeNotifier::changed() {
    if (reportWaiting_) return;
    reportWaiting_ = true;
    QTimer::singleShot(0, &context_, [this] {
        reportWaiting_ = false;
        if (onScreensChanged) onScreensChanged();
    });
}

}  // namespace caldrovex::platform
