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

namespace caldrovex::test {

// A program run by a test or a benchmark. Its standard input is a pipe the caller writes
// lines into; its standard output is collected line by line (or, `Output::raw`, left to the
// caller as a descriptor, for a video stream); its standard error is collected line by line
// too, or appended to a log file.
//
// Reader threads collect the lines as they come and hand each output line to `onLine` with
// the time it arrived. Waits are bounded by real time (for processes, not for logic under
// test) and never sleep a fixed time: they return as soon as the line or the exit arrives.
//
// One thread drives the object (writes, signals, waits); the reader threads only collect.
// Destruction kills a child that still runs.
class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;
    enum class Output { lines, raw };
    // `arrivedAt`: seconds of the steady clock (CLOCK_MONOTONIC). Runs on a reader thread.
    using LineHandler = std::function<void(const std::string& line, double arrivedAt)>;

    struct Options {
        // The program (a path, or a name looked up on PATH) and its arguments.
        std::vector<std::string> argv;
        // Replace or add variables of the caller's environment; an empty value removes one.
        std::map<std::string, std::string> environment;
        Output output = Output::lines;
        LineHandler onLine;
        // Where standard error goes; empty: it is collected (`errors()`).
        std::string errorLog;
    };

    // Throws std::runtime_error when the program cannot be started.
    explicit ChildProcess(Options options);
    // Starts `program` with `arguments`, collecting output and errors.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The read end of standard output (`Output::raw` only; the caller reads it, the object
    // closes it).
    int outputFd() const { return output_.fd; }

    // Writes `line` and a line end to the child's input; false when the child stopped reading.
    bool writeLine(const std::string& line);
    void closeInput();
    void signal(int number);

    // The first output line at index `from` or later for which `matches` holds, waiting up to
    // `timeout` for it; nullopt when it did not come (or the output ended without it).
    std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches,
                                           size_t from, std::chrono::milliseconds timeout);
    // The same for a line that starts with `prefix`.
    std::optional<std::string> waitForPrefix(const std::string& prefix, size_t from,
                                             std::chrono::milliseconds timeout);
    // Waits until standard output (and collected errors) have closed; false on timeout.
    bool waitForOutputEnd(std::chrono::milliseconds timeout);

    // Waits for the child to end and for all its output; the exit status, 128 + signal for a
    // child killed by a signal, or nullopt when it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Asks the child to end with `number`, then kills it when it has not ended within `grace`.
    int stop(int number, std::chrono::milliseconds grace);

    // Lines so far (without line ends).
    std::vector<std::string> output() const;
    std::vector<std::string> errors() const;
    size_t lineCount() const;
    // Output and errors as one text, for failure messages.
    std::string transcript() const;

private:
    struct Stream {
        int fd = -1;
        std::vector<std::string> lines;  // guarded by mutex_
        bool ended = true;               // guarded by mutex_: closed, or not collected
        std::thread reader;
    };

    void collect(Stream& stream, const LineHandler& onLine);
    void startReader(Stream& stream, LineHandler onLine);
    bool outputEnded() const;  // with mutex_ held
    void reap(bool block);

    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Stream output_;
    Stream errors_;
};

}  // namespace caldrovex::test
