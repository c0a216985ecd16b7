#pragma once

#include <sys/types.h>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace caldrovex::test {

// A program run by a test: its standard input is a pipe the test writes lines into, its
// standard output and error are collected line by line. Waits are bounded by real time (for
// processes, not for logic under test) and never sleep a fixed time: they return as soon as
// the line or the exit arrives.
//
// Test thread only. Destruction kills a child that still runs.
class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    // Starts `program` with `arguments`; `environment` entries replace or add variables of
    // the test's own environment (an empty value removes one). Throws std::runtime_error
    // when the program cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::map<std::string, std::string>& environment);
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes `line` and a line end to the child's input; false when the child stopped reading.
    bool writeLine(const std::string& line);
    void closeInput();
    void signal(int number);

    // The first output line at index `from` or later for which `matches` holds, waiting up to
    // `timeout` for it; nullopt when it did not come (or the child ended without it).
    std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& matches,
                                           size_t from, std::chrono::milliseconds timeout);
    // The same for a line that starts with `prefix`.
    std::optional<std::string> waitForPrefix(const std::string& prefix, size_t from,
                                             std::chrono::milliseconds timeout);
    // Waits for the child to end and collects all its output; the exit status, 128 + signal
    // for a child killed by a signal, or nullopt when it still runs after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);

    // The child's process id (for reading its figures under /proc).
    pid_t pid() const { return pid_; }

    // Lines so far (without line ends).
    const std::vector<std::string>& output() const { return output_; }
    const std::vector<std::string>& errors() const { return errors_; }
    // Output and errors as one text, for failure messages.
    std::string transcript() const;

private:
    // Reads whatever is available until `deadline`, or until `done` holds; false on timeout.
    bool pump(Clock::time_point deadline, const std::function<bool()>& done);
    void readFrom(int& fd, std::string& partial, std::vector<std::string>& lines);
    void reap(bool block);

    pid_t pid_ = -1;
    int input_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::string partialOut_;
    std::string partialErr_;
    std::vector<std::string> output_;
    std::vector<std::string> errors_;
    std::optional<int> status_;
};

}  // namespace caldrovex::test
