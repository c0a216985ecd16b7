#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace caldrovex::bench {

// A program the bench runs: standard input is a pipe, standard error goes to a log file (or
// is inherited), standard output is either read line by line on a reader thread of its own
// (`Lines`) or left to the caller as a raw descriptor (`Raw`, for a video stream).
//
// Lines are kept and also handed to `onLine` on the reader thread, with the monotonic time
// they arrived; waits are bounded. Destruction kills a child that still runs (by its pid)
// and joins the reader.
class Subprocess {
public:
    enum class Output { Lines, Raw };
    using LineHandler = std::function<void(const std::string& line, double arrivedAt)>;

    struct Options {
        std::vector<std::string> argv;
        // Replace or add variables of the bench's environment; an empty value removes one.
        std::map<std::string, std::string> environment;
        Output output = Output::Lines;
        LineHandler onLine;
        // Where standard error goes; empty: the bench's own.
        std::string errorLog;
    };

    // Throws std::runtime_error when the program cannot be started.
    explicit Subprocess(Options options);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const { return pid_; }
    // The read end of standard output (Raw only; the caller reads it, the object closes it).
    int outputFd() const { return output_; }

    bool writeLine(const std::string& line);
    void closeInput();
    void signal(int number);

    // The first line from index `from` on that starts with `prefix`, waiting up to `timeout`.
    std::optional<std::string> waitForPrefix(const std::string& prefix, size_t from,
                                             std::chrono::milliseconds timeout);
    // The same for the first line for which `matches` holds.
    std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches,
                                           size_t from, std::chrono::milliseconds timeout);
    // Waits until standard output has closed; false when it is still open after `timeout`.
    bool waitForOutputEnd(std::chrono::milliseconds timeout);
    size_t lineCount();
    std::vector<std::string> lines();

    // The exit status (128 + signal when killed), or nullopt when it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Asks the child to end with `number`, then kills it when it has not ended within `grace`.
    int stop(int number, std::chrono::milliseconds grace);

private:
    void readLines();

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::optional<int> status_;
    LineHandler onLine_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;  // guarded by mutex_
    bool ended_ = false;              // guarded by mutex_: standard output closed
    std::thread reader_;
};

// Seconds of CLOCK_MONOTONIC, the clock every stamp of the bench (and of the device) uses.
double monotonicNow();

}  // namespace caldrovex::bench
