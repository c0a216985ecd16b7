#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

namespace caldrovex::test {

// The application object these tests need, made once for the program on the test thread.
inline QCoreApplication& qtApplication() {
    if (auto* existing = QCoreApplication::instance()) return *existing;
    static int argc = 1;
    static char name[] = "test_qt";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    return application;
}

// Runs the Qt loop until `done` holds; false when it did not within `milliseconds` (a bound
// for a broken test, never reached when things work).
inline bool runLoopUntil(const std::function<bool()>& done, int milliseconds = 10'000) {
    qtApplication();
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done()) {
        if (elapsed.elapsed() > milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

}  // namespace caldrovex::test
