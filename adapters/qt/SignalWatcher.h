#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <vector>

namespace caldrovex::platform {

// Turns POSIX signals (SIGINT, SIGTERM) into calls on the Qt event loop, so that shutdown
// runs as ordinary main-thread work instead of inside a signal handler. The handler only
// writes the signal number into a pipe (the one async-signal-safe thing it does); a socket
// notifier reads it on the main thread and calls `onSignal`.
//
// Contract:
// - At most one watcher per process (the pipe is process-wide); made and destroyed on the
//   main thread. Destruction restores the default action of the watched signals.
// - `onSignal` runs on the main thread, once per delivered signal; it may destroy the
//   watcher. Signals that arrive faster than the loop runs may be merged by the kernel.
class SignalWatcher final : public QObject {
    Q_OBJECT

public:
    // Throws std::system_error when the pipe or a handler cannot be installed, and
    // std::logic_error for a second watcher.
    explicit SignalWatcher(std::vector<int> watched, QObject* parent = nullptr);
    ~SignalWatcher() override;

    std::function<void(int signal)> onSignal;

private:
    void readSignals();
    void release();

    std::vector<int> watched_;
    std::unique_ptr<QSocketNotifier> notifier_;
    // Tells a running callback's caller whether the watcher still exists afterwards.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace caldrovex::platform
