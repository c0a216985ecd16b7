#include "adapters/qt/SignalWatcher.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <system_error>

namespace caldrovex::platform {

namespace {

// The pipe's two ends; -1 while no watcher exists. The handler reads the write end.
volatile sig_atomic_t gReadEnd = -1;
volatile sig_atomic_t gWriteEnd = -1;

extern "C" void forwardSignal(int signal) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe drops the byte: the main thread has signals to read already.
    if (gWriteEnd >= 0) (void)!::write(gWriteEnd, &number, 1);
    errno = savedErrno;
}

std::system_error lastError(const char* what) {
    return std::system_error(errno, std::generic_category(), what);
}

}  // namespace

SignalWatcher::SignalWatcher(std::vector<int> watched, QObject* parent)
    : QObject(parent), watched_(std::move(watched)) {
    if (gReadEnd >= 0) throw std::logic_error("only one SignalWatcher may exist");
    int ends[2];
    // Non-blocking both ways: the handler must never block, and the reader drains the pipe.
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw lastError("signal pipe");
    gReadEnd = ends[0];
    gWriteEnd = ends[1];
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : watched_) {
        if (::sigaction(signal, &action, nullptr) != 0) {
            auto error = lastError("sigaction");
            release();
            throw error;
        }
    }
    notifier_ = std::make_unique<QSocketNotifier>(ends[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalWatcher::readSignals);
}

SignalWatcher::~SignalWatcher() {
    release();
}

void SignalWatcher::release() {
    for (int signal : watched_) ::signal(signal, SIG_DFL);
    notifier_.reset();
    if (gWriteEnd >= 0) ::close(gWriteEnd);
    if (gReadEnd >= 0) ::close(gReadEnd);
    gWriteEnd = -1;
    gReadEnd = -1;
}

void SignalWatcher::readSignals() {
    std::weak_ptr<bool> alive = alive_;
    unsigned char numbers[64];
    const ssize_t count = ::read(gReadEnd, numbers, sizeof numbers);
    for (ssize_t i = 0; i < count && !alive.expired(); ++i) {
        // A copy: the callback may destroy the watcher, and with it `onSignal`.
        if (auto callback = onSignal) callback(numbers[i]);
    }
}

}  // namespace caldrovex::platform
