#pragma once

#include <functional>
#include <memory>
#include <string>

#include "adapters/qt/SessionTexts.h"
#include "app/HostCommands.h"
#include "app/HostOptions.h"
#include "app/ModelControls.h"
#include "app/StatusPrinter.h"
#include "host/HostEnvironment.h"
#include "host/HostModel.h"

namespace caldrovex {

namespace platform {
class DesktopShell;
}

// The application's one owner of the host controller, for the life of the process. It
// logs what the controller publishes (Console), answers commands from standard input and
// from later launches, and on a desktop keeps the tray icon and the panels (DesktopShell).
//
// At launch on a desktop the panel window opens unless the host can go on quietly: a tray
// to live in, the display usable, sharing left on at the last quit, and no error to show.
// Without a desktop (headless) nobody can turn sharing on by hand, so it starts at once.
//
// Quitting from the panel records that sharing is wanted off; every other way (a signal, the
// "quit" command) keeps the intent, so a service or session restart shares again.
//
// Contract: made, used and destroyed on the main queue (the Qt loop), like the controller.
// `onQuit` runs there once, on a later turn of the loop, after sharing stopped.
class HostAppDelegate {
public:
    struct Launch {
        HostOptions options;
        // Show the tray icon and panels (else headless).
        bool desktop = false;
        StatusPrinter::Facts facts;
        std::string version;
        // The panel's words for the session's back ends.
        platform::SessionTexts session;
    };

    // Creates the controller (throws what HostModel::create throws) and applies the
    // command-line options.
    HostAppDelegate(HostEnvironment environment, Launch launch);
    ~HostAppDelegate();

    HostAppDelegate(const HostAppDelegate&) = delete;
    HostAppDelegate& operator=(const HostAppDelegate&) = delete;

    std::function<void()> onQuit;

    // Whether a desktop host may start without showing its panel.
    static bool startsQuietly(bool hasTray, bool screenPermission, bool hostEnabled, bool hasError);

    // The launch is complete: shows the panel where the host needs attention.
    void launched();
    // Opens or raises the panel window (a second launch, the tray menu). False when headless.
    bool showPanel();
    // One request line from the command socket → the reply line.
    std::string answer(const std::string& request);
    // One line typed on standard input.
    void command(const std::string& line);
    // Stops sharing (recording the intent as off unless `keepIntent`) and ends. Idempotent.
    void quit(bool keepIntent);

    const std::shared_ptr<HostModel>& host() const { return host_; }

private:
    void hostChanged();
    CommandReply run(const std::vector<std::string>& words);
    void finish();

    Launch launch_;
    bool hostEnabledAtStart_ = false;
    std::shared_ptr<HostModel> host_;
    StatusPrinter printer_;
    HostCommands commands_;
    std::shared_ptr<ModelControls> controls_;
    std::unique_ptr<platform::DesktopShell> shell_;
    // An invitation is due once a listener is ready (--pair).
    bool pairWhenRunning_ = false;
    bool quitting_ = false;
};

}  // namespace caldrovex
