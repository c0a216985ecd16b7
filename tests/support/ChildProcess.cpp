#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace caldrovex::test {

namespace {

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value.empty())
            variables.erase(name);
        else
            variables[name] = value;
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
    return result;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment) {
    // A child that goes away while the test writes to it must fail the write, not the test.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : argvText) argv.push_back(text.data());
    argv.push_back(nullptr);
    auto envText = mergedEnvironment(environment);
    std::vector<char*> envp;
    for (auto& text : envText) envp.push_back(text.data());
    envp.push_back(nullptr);

    const int failed =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
    if (failed != 0) {
        pid_ = -1;
        closeFd(input_);
        closeFd(stdout_);
        closeFd(stderr_);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(failed));
    }
    ::fcntl(stdout_, F_SETFL, O_NONBLOCK);
    ::fcntl(stderr_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    closeFd(input_);
    closeFd(stdout_);
    closeFd(stderr_);
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
    std::optional<std::string> found;
    auto search = [&] {
        for (size_t i = from; i < output_.size(); ++i) {
            if (matches(output_[i])) {
                found = output_[i];
                return true;
            }
        }
        return false;
    };
    pump(Clock::now() + timeout, search);
    return found;
}

std::optional<std::string> ChildProcess::waitForPrefix(const std::string& prefix, size_t from,
                                                       std::chrono::milliseconds timeout) {
    return waitForLine([&](const std::string& line) { return line.starts_with(prefix); }, from,
                       timeout);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    // The output ends when the child (and anything it started) closed it.
    pump(Clock::now() + timeout, [&] { return stdout_ < 0 && stderr_ < 0; });
    const auto deadline = Clock::now() + timeout;
    while (!status_) {
        reap(false);
        if (status_ || Clock::now() >= deadline) break;
        // The pipes are closed, so there is nothing to poll; the exit follows at once.
        ::poll(nullptr, 0, 10);
    }
    return status_;
}

std::string ChildProcess::transcript() const {
    std::string text = "--- output ---\n";
    for (const auto& line : output_) text += line + "\n";
    text += "--- errors ---\n";
    for (const auto& line : errors_) text += line + "\n";
    return text;
}

bool ChildProcess::pump(Clock::time_point deadline, const std::function<bool()>& done) {
    while (!done()) {
        if (stdout_ < 0 && stderr_ < 0) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[2] = {{stdout_, POLLIN, 0}, {stderr_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return false;
        if (fds[0].revents) readFrom(stdout_, partialOut_, output_);
        if (fds[1].revents) readFrom(stderr_, partialErr_, errors_);
    }
    return true;
}

void ChildProcess::readFrom(int& fd, std::string& partial, std::vector<std::string>& lines) {
    char buffer[4096];
    while (true) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return;  // EAGAIN: all read for now
        if (count == 0) {
            if (!partial.empty()) lines.push_back(std::move(partial));
            partial.clear();
            return closeFd(fd);
        }
        partial.append(buffer, static_cast<size_t>(count));
        size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            lines.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
        }
    }
}

void ChildProcess::reap(bool block) {
    if (pid_ <= 0 || status_) return;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done != pid_) return;
    if (WIFEXITED(status))
        status_ = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        status_ = 128 + WTERMSIG(status);
}

}  // namespace caldrovex::test
