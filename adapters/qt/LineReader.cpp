#include "adapters/qt/LineReader.h"

#include <fcntl.h>
#include <unistd.h>
#include <QTimer>
#include <cerrno>

namespace caldrovex::platform {

namespace {

// One read per readiness notification; a line longer than this just takes several.
constexpr size_t kReadChunk = 4096;

}  // namespace

LineReader::LineReader(int fd, QObject* parent) : QObject(parent), fd_(fd) {
    // A closed descriptor (a host started with its input closed) is an input that ended;
    // watching it would report it readable forever.
    if (::fcntl(fd, F_GETFD) == -1) {
        QTimer::singleShot(0, this, [this] { finish(alive_); });
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &LineReader::readAvailable);
}

LineReader::~LineReader() = default;

void LineReader::readAvailable() {
    std::weak_ptr<bool> alive = alive_;
    char chunk[kReadChunk];
    ssize_t count = ::read(fd_, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (count <= 0) return finish(alive);
    for (ssize_t i = 0; i < count; ++i) {
        if (discarding_) {
            if (chunk[i] == '\n') discarding_ = false;
            continue;
        }
        buffer_.push_back(chunk[i]);
        if (chunk[i] != '\n' && buffer_.size() >= kLongestLine) {
            buffer_.push_back('\n');
            discarding_ = true;
        }
    }
    deliverLines(alive);
}

void LineReader::deliverLines(const std::weak_ptr<bool>& alive) {
    size_t end;
    while (!alive.expired() && (end = buffer_.find('\n')) != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A copy: the callback may destroy the reader, and with it `onLine`.
        if (auto callback = onLine) callback(line);
    }
}

void LineReader::finish(const std::weak_ptr<bool>& alive) {
    if (ended_) return;
    ended_ = true;
    if (notifier_) notifier_->setEnabled(false);
    if (!buffer_.empty()) {
        buffer_.push_back('\n');
        deliverLines(alive);
        if (alive.expired()) return;
    }
    if (auto callback = std::move(onEnd)) {
        onEnd = nullptr;
        callback();
    }
}

}  // namespace caldrovex::platform
