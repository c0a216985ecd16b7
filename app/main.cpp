// caldrovex-host: the host process. For now it always runs headless (see HeadlessOptions):
// the Qt event loop is the main queue, the controller and its components are the real ones
// for this user, status goes to standard output and commands come from standard input.

#include <unistd.h>
#include <QCoreApplication>
#include <QGuiApplication>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "adapters/qt/LineReader.h"
#include "adapters/qt/QtMainQueue.h"
#include "adapters/qt/SignalWatcher.h"
#include "adapters/secret/LibsecretBackend.h"
#include "app/DesktopComponents.h"
#include "app/HeadlessHost.h"
#include "app/HeadlessOptions.h"
#include "app/StatusPrinter.h"
#include "app/UserEnvironment.h"
#include "platform/SerialQueue.h"

using namespace caldrovex;

namespace {

constexpr int kUsageError = 2;
constexpr int kStartFailed = 1;

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// The GUI application when the back ends want one (X11's clipboard and curtain) and a display
// platform can be had; otherwise the plain core loop, as a GUI application would abort.
std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool wantsGui) {
    if (wantsGui && (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM")))
        return std::make_unique<QGuiApplication>(argc, argv);
    return std::make_unique<QCoreApplication>(argc, argv);
}

HostEnvironment environmentFor(const HeadlessOptions& options,
                               const std::shared_ptr<platform::QtMainQueue>& queue,
                               const DesktopComponents& desktop) {
    auto environment =
        userEnvironment(queue, std::make_shared<platform::LibsecretBackend>(), desktop.permissions);
    desktop.addTo(environment);
    if (options.listenOnly)
        environment.privateAddresses = [](bool) { return std::vector<std::string>{}; };
    return environment;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::string> error;
    const auto options = HeadlessOptions::parse(argc, argv, error);
    if (error) {
        std::fprintf(stderr, "caldrovex-host: %s\n\n%s", error->c_str(), HeadlessOptions::usage());
        return kUsageError;
    }
    if (options.help) {
        std::fputs(HeadlessOptions::usage(), stdout);
        return 0;
    }
    // A script that stops reading must not kill the host with SIGPIPE; the write just fails.
    std::signal(SIGPIPE, SIG_IGN);

    const auto choice = DesktopComponents::Choice::current();
    auto app = makeApplication(argc, argv, choice.wantsGuiApplication());
    auto queue = std::make_shared<platform::QtMainQueue>();
    // Declared before the host: the controller uses these until it is gone.
    std::optional<DesktopComponents> desktop;
    std::unique_ptr<HeadlessHost> host;
    std::unique_ptr<platform::SignalWatcher> signalWatcher;
    std::unique_ptr<platform::LineReader> input;
    try {
        desktop = DesktopComponents::open(queue, platform::SystemClock::shared(), choice);
        host = std::make_unique<HeadlessHost>(environmentFor(options, queue, *desktop), options);
        // A session the host cannot share (another Wayland compositor, no display) is said at
        // once, not only to a device that asks for the screen.
        auto problem = choice.backend.problem();
        if (!problem) problem = desktop->permissions->screenRecordingProblem();
        if (problem) StatusPrinter::printError(*problem);
        // Only now: the watcher hands signals to the event loop, which does not run during
        // start-up, so until here SIGINT and SIGTERM keep their default action and end a
        // start-up that waits on the keyring or the display.
        signalWatcher =
            std::make_unique<platform::SignalWatcher>(std::vector<int>{SIGINT, SIGTERM});
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "caldrovex-host: %s\n", failure.what());
        return kStartFailed;
    }
    host->onQuit = [] { QCoreApplication::quit(); };
    signalWatcher->onSignal = [&host](int) { host->quit(); };
    input = std::make_unique<platform::LineReader>(STDIN_FILENO);
    input->onLine = [&host](const std::string& line) { host->command(line); };
    // End of input is not a request to stop: a host started with its input closed (or
    // from a script that has said all it had to say) keeps sharing until told otherwise.
    input->onEnd = [] {};

    const int status = app->exec();
    input.reset();
    host.reset();
    desktop.reset();
    signalWatcher.reset();
    platform::SerialQueue::shutdown();
    return status;
}
