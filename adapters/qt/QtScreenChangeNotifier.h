#pragma once

#include <QObject>

#include "input/ScreenChangeNotifier.h"

class QScreen;

namespace caldrovex::platform {

// Screen changes as Qt sees them: a screen added or removed, or one's geometry changed. The
// signals of one change (a screen added often moves another) are gathered and reported once,
// from the event loop.
//
// Contract: as ScreenChangeNotifier; made after the QGuiApplication, on its thread. Without
// a GUI application (no display) it never reports.
class QtScreenChangeNotifier final : public ScreenChangeNotifier {
public:
    QtScreenChangeNotifier();

private:
    void watch(QScreen* screen);
    void changed();

    // Owns the signal connections: they go with it.
    QObject context_;
    bool reportWaiting_ = false;
};

}  // namespace caldrovex::platform
