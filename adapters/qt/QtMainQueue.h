#pragma once

#include <QObject>
#include <QPointer>

#include "platform/Queue.h"

namespace caldrovex::platform {

// The main queue of the host executable: work runs on the Qt event loop of the thread that
// owns the application object, so the controller, Qt's clipboard and windows share one
// thread.
//
// Contract:
// - Made on the main thread after the QCoreApplication (or QGuiApplication) exists.
// - `post`, `postAfter` and `sync` may be called from any thread. Work posted once the
//   application object is gone is dropped; `sync` then returns without running it. Work
//   still queued when the application object goes is dropped with it.
// - Delayed work is handed to the main thread first and armed there, because Qt timers only
//   run on threads with a Qt event loop (the serial queues' pool threads have none).
class QtMainQueue final : public Queue {
public:
    explicit QtMainQueue(std::string label = "main");

    const std::string& label() const override { return label_; }
    void post(Work work) override;
    void postAfter(double seconds, Work work) override;
    bool isCurrent() const override;
    void sync(Work work) override;

private:
    std::string label_;
    // The application object, which lives on the main thread; every call is queued on it.
    QPointer<QObject> context_;
};

}  // namespace caldrovex::platform
