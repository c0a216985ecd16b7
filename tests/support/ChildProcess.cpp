#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace caldrovex::test {

namespace {

constexpr auto kKilledWait = std::chrono::milliseconds(5000);

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

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

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

double steadySeconds() {
    return std::chrono::duration<double>(ChildProcess::Clock::now().time_since_epoch()).count();
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment)
    : ChildProcess([&] {
          Options options;
          options.argv = {program};
          options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
          options.environment = environment;
          return options;
      }()) {}

ChildProcess::ChildProcess(Options options) {
    // A child that goes away while the caller writes to it must fail the write, not the caller.
    std::signal(SIGPIPE, SIG_IGN);
    const bool collectErrors = options.errorLog.empty();
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        (collectErrors && ::pipe2(err, O_CLOEXEC) != 0))
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (collectErrors) {
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.errorLog.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
    // Nothing else of ours goes along (sockets are not all close-on-exec): a listening socket
    // a test holds must close when the test closes it.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    auto argv = pointers(options.argv);
    auto envText = mergedEnvironment(options.environment);
    auto envp = pointers(envText);

    const int failed = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    closeFd(in[0]);
    closeFd(out[1]);
    closeFd(err[1]);
    input_ = in[1];
    output_.fd = out[0];
    errors_.fd = err[0];
    if (failed != 0) {
        pid_ = -1;
        closeFd(input_);
        closeFd(output_.fd);
        closeFd(errors_.fd);
        throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(failed));
    }
    if (options.output == Output::lines) startReader(output_, std::move(options.onLine));
    if (collectErrors) startReader(errors_, {});
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    closeFd(input_);
    if (output_.reader.joinable()) output_.reader.join();
    if (errors_.reader.joinable()) errors_.reader.join();
    closeFd(output_.fd);
    closeFd(errors_.fd);
}

void ChildProcess::startReader(Stream& stream, LineHandler onLine) {
    stream.ended = false;
    stream.reader =
        std::thread([this, &stream, onLine = std::move(onLine)] { collect(stream, onLine); });
}

void ChildProcess::collect(Stream& stream, const LineHandler& onLine) {
    std::string partial;
    auto add = [&](std::string line, double arrivedAt) {
        if (onLine) onLine(line, arrivedAt);
        std::lock_guard guard(mutex_);
        stream.lines.push_back(std::move(line));
        changed_.notify_all();
    };
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(stream.fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        const double arrivedAt = steadySeconds();
        partial.append(buffer, static_cast<size_t>(count));
        size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            std::string line = partial.substr(0, end);
            partial.erase(0, end + 1);
            add(std::move(line), arrivedAt);
        }
    }
    if (!partial.empty()) add(std::move(partial), steadySeconds());
    std::lock_guard guard(mutex_);
    stream.ended = true;
    changed_.notify_all();
}

bool ChildProcess::writeLine(const std::string& line) {
    if (input_ < 0) return false;
    const std::string text = line + "\n";
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(input_, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        written += static_cast<size_t>(count);
    }
    return true;
}

void ChildProcess::closeInput() {
    closeFd(input_);
}

void ChildProcess::signal(int number) {
    if (pid_ > 0 && !status_) ::kill(pid_, number);
}

std::optional<std::string> ChildProcess::waitForLine(
    const std::function<bool(const std::string&)>& matches, size_t from,
    std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (size_t i = from; i < output_.lines.size(); ++i) {
            if (matches(output_.lines[i])) return output_.lines[i];
        }
        from = std::max(from, output_.lines.size());
        if (output_.ended || changed_.wait_until(lock, deadline) == std::cv_status::timeout)
            return std::nullopt;
    }
}

std::optional<std::string> ChildProcess::waitForPrefix(const std::string& prefix, size_t from,
                                                       std::chrono::milliseconds timeout) {
    return waitForLine([&](const std::string& line) { return line.starts_with(prefix); }, from,
                       timeout);
}

bool ChildProcess::outputEnded() const {
    return output_.ended && errors_.ended;
}

bool ChildProcess::waitForOutputEnd(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return outputEnded(); });
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    // The output ends when the child (and anything it started) closed it.
    {
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, deadline, [this] { return outputEnded(); });
    }
    for (;;) {
        reap(false);
        if (status_ || Clock::now() >= deadline) return status_;
        // Nothing to wait on but the exit, which follows the end of the output at once.
        ::poll(nullptr, 0, 10);
    }
}

int ChildProcess::stop(int number, std::chrono::milliseconds grace) {
    signal(number);
    if (auto status = wait(grace)) return *status;
    signal(SIGKILL);
    return wait(kKilledWait).value_or(-1);
}

std::vector<std::string> ChildProcess::output() const {
    std::lock_guard guard(mutex_);
    return output_.lines;
}

std::vector<std::string> ChildProcess::errors() const {
    std::lock_guard guard(mutex_);
    return errors_.lines;
}

size_t ChildProcess::lineCount() const {
    std::lock_guard guard(mutex_);
    return output_.lines.size();
}

std::string ChildProcess::transcript() const {
    std::lock_guard guard(mutex_);
    std::string text = "--- output ---\n";
    for (const auto& line : output_.lines) text += line + "\n";
    text += "--- errors ---\n";
    for (const auto& line : errors_.lines) text += line + "\n";
    return text;
}

void ChildProcess::reap(bool block) {
    if (pid_ <= 0 || status_) return;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done != pid_) return;
    if (WIFEXITED(status)) {
        status_ = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        status_ = 128 + WTERMSIG(status);
    }
}

}  // namespace caldrovex::test
