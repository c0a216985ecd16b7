#include "app/HostAppDelegate.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "adapters/qt/DesktopShell.h"
#include "app/Console.h"
#include "app/InstanceMessages.h"

namespace caldrovex {

namespace {

// The saved intent to share, as the controller stores it.
constexpr const char* kHostEnabled = "hostEnabled";

}  // namespace

HostAppDelegate::HostAppDelegate(HostEnvironment environment, Launch launch)
    : launch_(std::move(launch)),
      hostEnabledAtStart_(environment.settings &&
                          environment.settings->boolean(kHostEnabled).value_or(false)),
      host_(HostModel::create(std::move(environment))),
      commands_(host_, launch_.facts),
      controls_(std::make_shared<ModelControls>(host_)),
      pairWhenRunning_(launch_.options.pair) {
    CommandReply start;
    StatusPrinter::describe(*host_, launch_.facts, start);
    Console::print(start);
    CommandReply ignored;
    printer_.changes(host_->published(), ignored);

    host_->onChange = [this] { hostChanged(); };
    host_->onRefusal = [](const std::string& peer, const std::string& reason) {
        Console::field("refused", peer + ": " + reason);
    };
    controls_->onQuit = [this] { quit(false); };
    if (launch_.desktop) {
        shell_ = std::make_unique<platform::DesktopShell>(
            controls_, QString::fromStdString(launch_.version), launch_.session);
        shell_->onPanelShown = [] { Console::field("panel", "shown"); };
    }

    const auto& options = launch_.options;
    host_->setExplicitAddresses(options.listen);
    // For this run only: a flag typed once must not leave remote control on for good.
    if (options.control) host_->setControlEnabled(true, false);
    if (options.localNetwork) host_->setLocalNetworkEnabled(true);
    if (options.curtain) Console::print(commands_.run({"curtain", "on"}));
    if (!launch_.desktop) host_->start();
    // The listener may be ready already (nothing to wait for); an unchanged state gives no
    // change report.
    hostChanged();
}

HostAppDelegate::~HostAppDelegate() {
    host_->onChange = nullptr;
    host_->onRefusal = nullptr;
    // The panels go before the controller they show.
    shell_.reset();
}

bool HostAppDelegate::startsQuietly(bool hasTray, bool screenPermission, bool hostEnabled,
                                    bool hasError) {
    return hasTray && screenPermission && hostEnabled && !hasError;
}

void HostAppDelegate::launched() {
    if (!shell_) return;
    const auto& state = host_->published();
    if (!startsQuietly(shell_->hasTray(), state.screenPermission, hostEnabledAtStart_,
                       state.error.has_value()))
        shell_->showPanel();
}

bool HostAppDelegate::showPanel() {
    if (!shell_) return false;
    shell_->showPanel();
    return true;
}

void HostAppDelegate::hostChanged() {
    // Headless, credentials that could not be loaded at start (no keyring yet) may load on a
    // later tick; sharing starts then, as it would have at once.
    if (!launch_.desktop && !quitting_ && !host_->sharing() && host_->credentialsLoaded())
        host_->start();
    CommandReply log;
    printer_.changes(host_->published(), log);
    Console::print(log);
    commands_.hostChanged();
    if (shell_) shell_->refresh();
    if (pairWhenRunning_ && host_->published().running) {
        pairWhenRunning_ = false;
        Console::print(run({"pair"}));
    }
}

CommandReply HostAppDelegate::run(const std::vector<std::string>& words) {
    if (quitting_) {
        CommandReply reply;
        reply.error("The host is quitting.");
        return reply;
    }
    CommandReply reply = commands_.run(words);
    if (reply.quit) {
        quitting_ = true;
        finish();
    }
    return reply;
}

std::string HostAppDelegate::answer(const std::string& request) {
    auto words = InstanceMessages::readRequest(request);
    CommandReply reply;
    if (!words) {
        reply.error("The request could not be read.");
    } else if (words->empty()) {
        // A later launch without a command: bring the panel forward.
        if (showPanel())
            reply.field("panel", "shown");
        else
            reply.field("panel", "none: this host runs without a display");
    } else {
        Console::field("command", (*words)[0] + " (from another launch)");
        reply = run(*words);
    }
    return InstanceMessages::reply(reply);
}

void HostAppDelegate::command(const std::string& line) {
    const auto words = HostCommands::split(line);
    if (words.empty()) return;
    Console::print(run(words));
}

void HostAppDelegate::quit(bool keepIntent) {
    if (quitting_) return;
    quitting_ = true;
    host_->stop(keepIntent);
    Console::field("quit", "sharing stopped");
    finish();
}

void HostAppDelegate::finish() {
    // On a later turn: the answer to the command that asked is still to be sent.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [callback = onQuit] {
            if (callback) callback();
        },
        Qt::QueuedConnection);
}

}  // namespace caldrovex
