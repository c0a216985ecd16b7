#include "latency_bench/Subprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace caldrovex::bench {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value.empty()) {
            variables.erase(name);
        } else {
            variables[name] = value;
        }
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
    return result;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

double monotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Subprocess::Subprocess(Options options) : onLine_(std::move(options.onLine)) {
    // A child that went away must fail the write, not end the bench.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (!options.errorLog.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.errorLog.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    std::vector<char*> argv;
    for (auto& text : options.argv) argv.push_back(text.data());
    argv.push_back(nullptr);
    auto envText = mergedEnvironment(options.environment);
    std::vector<char*> envp;
    for (auto& text : envText) envp.push_back(text.data());
    envp.push_back(nullptr);

    const int failed = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (failed != 0) {
        pid_ = -1;
        closeFd(input_);
        closeFd(output_);
        throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(failed));
    }
    if (options.output == Output::Lines) {
        reader_ = std::thread([this] { readLines(); });
    }
}

Subprocess::~Subprocess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        wait(std::chrono::milliseconds(5000));
    }
    closeFd(input_);
    if (reader_.joinable()) reader_.join();
    closeFd(output_);
}

void Subprocess::readLines() {
    std::string partial;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const double arrivedAt = monotonicNow();
        partial.append(buffer, static_cast<size_t>(got));
        size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            std::string line = partial.substr(0, end);
            partial.erase(0, end + 1);
            if (onLine_) onLine_(line, arrivedAt);
            std::lock_guard guard(mutex_);
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
    }
    std::lock_guard guard(mutex_);
    ended_ = true;
    changed_.notify_all();
}

bool Subprocess::writeLine(const std::string& line) {
    if (input_ < 0) return false;
    const std::string text = line + "\n";
    return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void Subprocess::closeInput() {
    closeFd(input_);
}

void Subprocess::signal(int number) {
    if (pid_ > 0 && !status_) ::kill(pid_, number);
}

std::optional<std::string> Subprocess::waitForPrefix(const std::string& prefix, size_t from,
                                                     std::chrono::milliseconds timeout) {
    return waitForLine([&](const std::string& line) { return line.rfind(prefix, 0) == 0; }, from,
                       timeout);
}

std::optional<std::string> Subprocess::waitForLine(
    const std::function<bool(const std::string&)>& matches, size_t from,
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (size_t i = from; i < lines_.size(); ++i) {
            if (matches(lines_[i])) return lines_[i];
        }
        from = lines_.size();
        if (ended_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout)
            return std::nullopt;
    }
}

bool Subprocess::waitForOutputEnd(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return ended_; });
}

size_t Subprocess::lineCount() {
    std::lock_guard guard(mutex_);
    return lines_.size();
}

std::vector<std::string> Subprocess::lines() {
    std::lock_guard guard(mutex_);
    return lines_;
}

std::optional<int> Subprocess::wait(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Subprocess::stop(int number, std::chrono::milliseconds grace) {
    signal(number);
    if (auto status = wait(grace)) return *status;
    signal(SIGKILL);
    return wait(std::chrono::milliseconds(5000)).value_or(-1);
}

}  // namespace caldrovex::bench
