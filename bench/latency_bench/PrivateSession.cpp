#include "latency_bench/PrivateSession.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace caldrovex::bench {

namespace fs = std::filesystem;

namespace {

// Set in the re-executed bench, so that it does not start a second session inside the first.
constexpr const char* kSessionMarker = "CALDROVEX_LATENCY_BENCH_SESSION";
constexpr std::chrono::milliseconds kStartWait{30'000};

}  // namespace

void PrivateSession::enterBusSession(int argc, char** argv) {
    if (std::getenv(kSessionMarker) != nullptr) return;
    ::setenv(kSessionMarker, "1", 1);
    // Our own path now: in the child, /proc/self/exe is dbus-run-session's.
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<char*> args{const_cast<char*>("dbus-run-session"), const_cast<char*>("--"),
                            self.data()};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    std::perror("latency_bench: dbus-run-session");
    std::exit(1);
}

PrivateSession::PrivateSession(fs::path logs) : logs_(std::move(logs)) {
    std::string pattern = (fs::temp_directory_path() / "caldrovex-latency-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* folder : {"home", "data", "config/Caldrovex", "state", "runtime", "device"}) {
        fs::create_directories(root_ / folder);
    }
    fs::permissions(root_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    // The relay road stays off: the host serves loopback only.
    std::ofstream(root_ / "config" / "Caldrovex" / "defaults.json") << R"({"relayEnabled": false})";
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    ::setenv("XDG_STATE_HOME", (root_ / "state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);

    // Given the password on standard input, the daemon creates and unlocks the login keyring
    // without a prompt, and prints the variables that lead clients to it.
    test::ChildProcess::Options daemon;
    daemon.argv = {"gnome-keyring-daemon", "--unlock", "--components=secrets"};
    daemon.environment = {{"DISPLAY", ""}};
    daemon.errorLog = (logs_ / "keyring.log").string();
    test::ChildProcess keyring(std::move(daemon));
    std::ifstream random("/dev/urandom", std::ios::binary);
    std::string password;
    for (int i = 0; i < 24; ++i)
        password += static_cast<char>('a' + static_cast<unsigned char>(random.get()) % 26);
    keyring.writeLine(password);
    keyring.closeInput();
    if (keyring.wait(kStartWait).value_or(-1) != 0)
        throw std::runtime_error("gnome-keyring-daemon did not start");
    keyring.waitForOutputEnd(kStartWait);
    for (const auto& line : keyring.output()) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        ::setenv(name.c_str(), value.c_str(), 1);
        if (name == "GNOME_KEYRING_PID") keyringPid_ = std::stoi(value);
    }
}

PrivateSession::~PrivateSession() {
    xServer_.reset();
    if (keyringPid_) ::kill(*keyringPid_, SIGTERM);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void PrivateSession::startXServer() {
    // Xvfb picks a free display number itself and writes it once it accepts clients.
    test::ChildProcess::Options server;
    server.argv = {"Xvfb",         "-displayfd", "1",          "-screen",    "0",
                   "1920x1080x24", "-nolisten",  "tcp",        "+extension", "RANDR",
                   "+extension",   "XTEST",      "+extension", "DAMAGE",     "+extension",
                   "XFIXES",       "-noreset"};
    server.errorLog = (logs_ / "xvfb.log").string();
    xServer_ = std::make_unique<test::ChildProcess>(std::move(server));
    auto number = xServer_->waitForPrefix("", 0, kStartWait);
    if (!number) throw std::runtime_error("Xvfb did not start");
    useXServer(":" + *number);
}

void PrivateSession::useXServer(const std::string& name) {
    display_ = name;
    ::setenv("DISPLAY", name.c_str(), 1);
}

}  // namespace caldrovex::bench
