#include "support/PrivateXServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace caldrovex::test {

namespace {

constexpr int kStartMilliseconds = 10'000;

}  // namespace

PrivateXServer::PrivateXServer(const std::vector<std::string>& arguments) {
    int pipe[2];
    if (::pipe(pipe) != 0) throw std::runtime_error("no pipe for Xvfb");
    // Xvfb writes the display number it chose to this descriptor once it accepts clients.
    std::vector<std::string> args = {"Xvfb",      "-displayfd", std::to_string(pipe[1]),
                                     "-screen",   "0",          "1920x1080x24",
                                     "-nolisten", "tcp",        "-noreset"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, pipe[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    int spawned = posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe[1]);
    if (spawned != 0) {
        close(pipe[0]);
        throw std::runtime_error("Xvfb could not be started");
    }
    std::string number;
    pollfd readable{pipe[0], POLLIN, 0};
    char c = 0;
    while (poll(&readable, 1, kStartMilliseconds) > 0 && read(pipe[0], &c, 1) == 1 && c != '\n') {
        number += c;
    }
    close(pipe[0]);
    if (number.empty()) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("Xvfb did not come up");
    }
    name_ = ":" + number;
}

PrivateXServer::~PrivateXServer() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

}  // namespace caldrovex::test
