#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <string>

namespace caldrovex::platform {

// Reads text lines from a file descriptor (standard input for the headless host) on the Qt
// event loop, without a thread and without blocking: a socket notifier says when the
// descriptor is readable, and each notification reads only once, so a terminal or pipe that
// has nothing more never blocks the loop.
//
// Contract:
// - Made, used and destroyed on the main (Qt) thread; callbacks run there.
// - `onLine` gets each line without its line end (a "\r\n" loses both); a last line without
//   a line end is delivered at end of input. `onEnd` runs once when the input ends or fails;
//   afterwards nothing more is read.
// - Lines longer than `kLongestLine` are cut there; the rest of that line is dropped, so a
//   runaway writer cannot grow the buffer without bound.
// - The descriptor is not owned and stays in its blocking mode (it may be shared with the
//   parent's terminal). Callbacks may destroy the reader.
class LineReader final : public QObject {
    Q_OBJECT

public:
    static constexpr size_t kLongestLine = 64 * 1024;

    explicit LineReader(int fd, QObject* parent = nullptr);
    ~LineReader() override;

    std::function<void(const std::string& line)> onLine;
    std::function<void()> onEnd;

private:
    void readAvailable();
    void deliverLines(const std::weak_ptr<bool>& alive);
    void finish(const std::weak_ptr<bool>& alive);

    int fd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string buffer_;
    bool discarding_ = false;
    bool ended_ = false;
    // Tells a running callback's caller whether the reader still exists afterwards.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace caldrovex::platform
