#pragma once

#include <QObject>
#include <QPointer>
#include <memory>
#include <string>

#include "platform/Queue.h"

namespace caldrovex::platform {

// The main queue of the host executable: work runs on the Qt event loop of the thread that
// owns the application object, so the controller, Qt's clipboard and windows share one
// thread.
//
// Contract:
// - Made and destroyed on the main thread, after the QCoreApplication (or QGuiApplication)
//   exists and before it goes.
// - `post`, `postAfter` and `sync` may be called from any thread. Work posted once the
//   application object is gone is dropped; `sync` then returns without running it. Work
//   still queued when the queue goes is dropped with it, on the main thread.
// - Delayed work is handed to the main thread first and armed there, because Qt timers only
//   run on threads with a Qt event loop (the serial queues' pool threads have none).
// - Work crosses to the main thread through an inbox of ours under a std::mutex, and `sync`
//   waits on a std::future; Qt's event only says that the inbox has work. Qt's own queues and
//   blocking calls sit on futexes that ThreadSanitizer cannot see, so it would take every
//   hand-over through them (and the functor objects they carry) for a race.
class QtMainQueue final : public Queue {
public:
    explicit QtMainQueue(std::string label = "main");
    ~QtMainQueue() override;

    const std::string& label() const override { return label_; }
    void post(Work work) override;
    void postAfter(double seconds, Work work) override;
    bool isCurrent() const override;
    void sync(Work work) override;

    struct Inbox;

private:
    std::string label_;
    // The application object, which lives on the main thread.
    QPointer<QObject> context_;
    std::shared_ptr<Inbox> inbox_;
    // Runs the inbox on the main thread, one item per event. Ours alone (no parent): it goes
    // with this queue, and its pending events with it.
    std::unique_ptr<QObject> receiver_;
};

}  // namespace caldrovex::platform
