#include "app/HostApp.h"

#include <unistd.h>
#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "adapters/files/JsonSettingsStore.h"
#include "adapters/files/XdgAutostart.h"
#include "adapters/qt/InstanceServer.h"
#include "adapters/qt/LineReader.h"
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/SignalWatcher.h"
#include "adapters/secret/LibsecretBackend.h"
#include "app/Console.h"
#include "app/DesktopComponents.h"
#include "app/HostAppDelegate.h"
#include "app/HostOptions.h"
#include "app/InstanceMessages.h"
#include "app/UserEnvironment.h"
#include "platform/CaldrovexError.h"
#include "platform/EnvironmentVariable.h"
#include "platform/InstanceClient.h"
#include "platform/InstanceLock.h"
#include "platform/SerialQueue.h"
#include "platform/UserFolders.h"

#ifndef CALDROVEX_VERSION
#define CALDROVEX_VERSION ""
#endif

namespace caldrovex {

namespace {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;
constexpr int kNoHost = 3;

constexpr const char* kProgram = "caldrovex-host";
constexpr const char* kLockName = "caldrovex-host.lock";
constexpr const char* kSocketName = "caldrovex-host.sock";
// A running host answers at once; this bounds a host that hangs.
constexpr double kAnswerSeconds = 30;
// The host that holds the lock opens its socket right after taking it; a launch that comes
// in between waits this long for it.
constexpr auto kSocketWait = std::chrono::seconds(10);

struct Paths {
    std::filesystem::path runtime;
    std::filesystem::path lock;
    std::filesystem::path socket;
};

Paths paths() {
    const auto runtime = platform::UserFolders().runtimeFolder();
    return {runtime, runtime / kLockName, runtime / kSocketName};
}

bool displayAvailable() {
    using platform::environmentVariable;
    return environmentVariable("DISPLAY") || environmentVariable("WAYLAND_DISPLAY") ||
           environmentVariable("QT_QPA_PLATFORM");
}

void complain(const std::string& sentence) {
    std::fprintf(stderr, "%s: %s\n", kProgram, sentence.c_str());
}

// Sends `command` to the running host; nullopt when none listens (yet).
std::optional<InstanceMessages::Answer> ask(const Paths& where,
                                            const std::vector<std::string>& command) {
    auto line = platform::InstanceClient::exchange(where.socket, InstanceMessages::request(command),
                                                   kAnswerSeconds);
    if (!line) return std::nullopt;
    auto answer = InstanceMessages::readReply(*line);
    if (!answer) throw CaldrovexError("The running host gave an answer that could not be read.");
    return answer;
}

int printAnswer(const InstanceMessages::Answer& answer) {
    for (const auto& line : answer.lines) {
        std::FILE* stream = line.starts_with("error: ") ? stderr : stdout;
        std::fprintf(stream, "%s\n", line.c_str());
    }
    return answer.status;
}

int sendCommand(const Paths& where, const HostOptions& options) {
    try {
        auto answer = ask(where, options.command);
        if (!answer) {
            complain(
                "No Orvelo Host runs for this user. Start it first (caldrovex-host, or "
                "Orvelo Host from the applications menu).");
            return kNoHost;
        }
        return printAnswer(*answer);
    } catch (const CaldrovexError& error) {
        complain(error.what());
        return kFailed;
    }
}

// Another host holds the lock: asks it for its panel. Returns the exit status, or nullopt
// when the other host ended meanwhile and `lock` is now this process's.
std::optional<int> handOver(const Paths& where, const HostOptions& options,
                            std::unique_ptr<platform::InstanceLock>& lock) {
    const auto deadline = std::chrono::steady_clock::now() + kSocketWait;
    try {
        for (;;) {
            if (auto answer = ask(where, {})) {
                if (options.shapesAStart())
                    complain("Orvelo Host already runs for this user; " + options.startOptions() +
                             " not applied.");
                std::printf("%s: Orvelo Host already runs for this user.\n", kProgram);
                printAnswer(*answer);
                return 0;
            }
            // Nobody answers: the holder is between taking the lock and opening its socket,
            // or has just ended.
            lock = platform::InstanceLock::tryAcquire(where.lock);
            if (lock) return std::nullopt;
            if (std::chrono::steady_clock::now() > deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        complain("Another Orvelo Host holds " + where.lock.string() +
                 " but does not answer on its command socket.");
    } catch (const CaldrovexError& error) {
        complain(error.what());
    }
    return kFailed;
}

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool desktop,
                                                  bool backendsWantGui) {
    if (desktop) {
        auto application = std::make_unique<QApplication>(argc, argv);
        QApplication::setStyle("Fusion");
        // Closing the panel window hides it; the host lives on in the tray.
        QApplication::setQuitOnLastWindowClosed(false);
        return application;
    }
    // X11's clipboard and curtain need a GUI application where a display can be had; without
    // any, the plain core loop, as a GUI application would abort.
    if (backendsWantGui && displayAvailable()) return std::make_unique<QGuiApplication>(argc, argv);
    return std::make_unique<QCoreApplication>(argc, argv);
}

HostEnvironment environmentFor(const HostOptions& options,
                               const std::shared_ptr<platform::QtMainQueue>& queue,
                               const DesktopComponents& desktop) {
    auto environment =
        userEnvironment(queue, std::make_shared<platform::LibsecretBackend>(), desktop.permissions);
    desktop.addTo(environment);
    auto autostart = std::make_shared<platform::XdgAutostart>(platform::XdgAutostart::forUser());
    environment.loginItemEnabled = [autostart] { return autostart->enabled(); };
    environment.setLoginItem = [autostart](bool enabled) { autostart->setEnabled(enabled); };
    if (options.listenOnly)
        environment.privateAddresses = [](bool) { return std::vector<std::string>{}; };
    return environment;
}

// The host itself, once this process holds the lock.
int host(int argc, char** argv, const HostOptions& options, const Paths& where) {
    const bool desktop = !options.headless && displayAvailable();
    const auto choice = DesktopComponents::Choice::current();
    auto app = makeApplication(argc, argv, desktop, choice.wantsGuiApplication());
    QCoreApplication::setApplicationName("Orvelo Host");
    QCoreApplication::setApplicationVersion(CALDROVEX_VERSION);
    auto queue = std::make_shared<platform::QtMainQueue>();
    // Declared before the delegate: the controller uses these until it is gone.
    std::optional<DesktopComponents> components;
    std::unique_ptr<platform::InstanceServer> server;
    std::unique_ptr<platform::SignalWatcher> signalWatcher;
    std::unique_ptr<HostAppDelegate> delegate;
    std::unique_ptr<platform::LineReader> input;
    try {
        // First of all: a later launch that finds the lock taken looks for this socket.
        server = std::make_unique<platform::InstanceServer>(where.socket.string());
        components = DesktopComponents::open(queue, platform::SystemClock::shared(), choice);
        HostAppDelegate::Launch launch{
            options,
            desktop,
            {platform::UserFolders().dataFolder(), platform::JsonSettingsStore::defaultFile()},
            CALDROVEX_VERSION,
            choice.backend.kind == SessionBackend::Kind::gnomeWayland
                ? platform::SessionTexts::gnomeWayland()
                : platform::SessionTexts::x11()};
        delegate = std::make_unique<HostAppDelegate>(environmentFor(options, queue, *components),
                                                     std::move(launch));
        // A session the host cannot share (another Wayland compositor, no display) is said at
        // once, not only to a device that asks for the screen.
        auto problem = choice.backend.problem();
        if (!problem) problem = components->permissions->screenRecordingProblem();
        if (problem) Console::field("error", *problem);
        // Only now: the watcher hands signals to the event loop, which does not run during
        // start-up, so until here SIGINT and SIGTERM keep their default action and end a
        // start-up that waits on the keyring or the display.
        signalWatcher =
            std::make_unique<platform::SignalWatcher>(std::vector<int>{SIGINT, SIGTERM});
    } catch (const std::exception& failure) {
        complain(failure.what());
        return kFailed;
    }
    delegate->onQuit = [] { QCoreApplication::quit(); };
    server->onRequest = [&delegate](const std::string& request) {
        return delegate->answer(request);
    };
    signalWatcher->onSignal = [&delegate](int) { delegate->quit(true); };
    if (!desktop) {
        input = std::make_unique<platform::LineReader>(STDIN_FILENO);
        input->onLine = [&delegate](const std::string& line) { delegate->command(line); };
        // End of input is not a request to stop: a host started with its input closed (or
        // from a script that has said all it had to say) keeps sharing until told otherwise.
        input->onEnd = [] {};
    }
    delegate->launched();

    const int status = app->exec();
    input.reset();
    server.reset();
    delegate.reset();
    components.reset();
    signalWatcher.reset();
    platform::SerialQueue::shutdown();
    return status;
}

}  // namespace

int HostApp::run(int argc, char** argv) {
    std::optional<std::string> error;
    const auto options = HostOptions::parse(argc, argv, error);
    if (error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgram,
                     error->c_str(), kProgram);
        return kUsageError;
    }
    if (options.help) {
        std::fputs(HostOptions::usage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s %s\n", kProgram, CALDROVEX_VERSION);
        return 0;
    }
    // A script that stops reading must not kill the host with SIGPIPE; the write just fails.
    std::signal(SIGPIPE, SIG_IGN);

    const Paths where = paths();
    std::unique_ptr<platform::InstanceLock> lock;
    try {
        platform::InstanceLock::requirePrivateFolder(where.runtime);
        if (!options.command.empty()) return sendCommand(where, options);
        lock = platform::InstanceLock::tryAcquire(where.lock);
    } catch (const CaldrovexError& failure) {
        complain(failure.what());
        return kFailed;
    }
    if (!lock) {
        if (auto status = handOver(where, options, lock)) return *status;
    }
    return host(argc, argv, options, where);
}

}  // namespace caldrovex
