#pragma once

#include <QGuiApplication>

namespace caldrovex::test {

// The GUI application that tests of windows need, made once for the program on the test
// thread, on the X display of $DISPLAY whatever QT_QPA_PLATFORM says (the test scripts set
// it to "offscreen" for every other test).
inline QGuiApplication& guiApplication() {
    if (auto* existing = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        return *existing;
    }
    static int argc = 3;
    static char name[] = "test_x11";
    static char option[] = "-platform";
    static char platform[] = "xcb";
    static char* argv[] = {name, option, platform, nullptr};
    static QGuiApplication application(argc, argv);
    return application;
}

}  // namespace caldrovex::test
