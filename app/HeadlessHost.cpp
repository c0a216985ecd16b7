#include "app/HeadlessHost.h"

#include <algorithm>
#include <sstream>

#include "app/Console.h"
#include "host/Invitations.h"
#include "platform/CaldrovexError.h"

namespace caldrovex {

namespace {

constexpr const char* kCommands = "pair, devices, revoke ID, status, control on|off, help, quit";

// The command word and its argument, split at the first run of blanks.
std::pair<std::string, std::string> split(const std::string& line) {
    std::istringstream words(line);
    std::string word, argument, extra;
    words >> word >> argument;
    if (words >> extra) argument += " " + extra;  // reported as a wrong argument below
    return {word, argument};
}

}  // namespace

HeadlessHost::HeadlessHost(HostEnvironment environment, const HeadlessOptions& options)
    : host_(HostModel::create(std::move(environment))), pairWhenRunning_(options.pair) {
    printer_.printAll(host_->published(), host_->sharing());
    host_->onChange = [this] { hostChanged(); };
    host_->setExplicitAddresses(options.listen);
    if (options.control) setControl(true);
    host_->start();
    // The listener may be ready already (nothing to wait for); an unchanged state gives no
    // change report.
    hostChanged();
}

HeadlessHost::~HeadlessHost() {
    if (host_) host_->onChange = nullptr;
}

void HeadlessHost::hostChanged() {
    if (!host_) return;
    // Credentials that could not be loaded at start (no keyring yet) may load on a later
    // tick; sharing starts then, as it would have at once.
    if (!quitting_ && !host_->sharing() && host_->credentialsLoaded()) host_->start();
    printer_.printChanges(host_->published());
    noteSessions();
    if (pairWhenRunning_ && host_->published().running) {
        pairWhenRunning_ = false;
        pair();
    }
}

void HeadlessHost::noteSessions() {
    const auto& current = host_->activeDeviceID();
    if (current == sessionDevice_) return;
    const auto now = std::chrono::system_clock::now();
    // Seen at the start of a session and again at its end.
    if (sessionDevice_) lastSeen_[*sessionDevice_] = now;
    if (current) lastSeen_[*current] = now;
    sessionDevice_ = current;
}

void HeadlessHost::command(const std::string& line) {
    if (quitting_) return;
    const auto [word, argument] = split(line);
    if (word.empty()) return;
    if (word == "revoke") {
        if (argument.empty() || argument.find(' ') != std::string::npos)
            return StatusPrinter::printError("Usage: revoke ID (see \"devices\").");
        return revoke(argument);
    }
    if (word == "control") {
        if (argument != "on" && argument != "off")
            return StatusPrinter::printError("Usage: control on|off");
        return setControl(argument == "on");
    }
    if (!argument.empty())
        return StatusPrinter::printError("The command \"" + word + "\" takes no argument.");
    if (word == "pair") return pair();
    if (word == "devices") return listDevices();
    if (word == "status") return printer_.printAll(host_->published(), host_->sharing());
    if (word == "quit") return quit();
    if (word == "help") return Console::field("commands", kCommands);
    StatusPrinter::printError("Unknown command \"" + word + "\". Commands: " + kCommands + ".");
}

void HeadlessHost::setControl(bool enabled) {
    host_->setControlEnabled(enabled);
    Console::field("remote control", enabled ? "on" : "off");
}

void HeadlessHost::pair() {
    const auto before = host_->published();
    host_->makeInvitation();
    const auto& after = host_->published();
    // A new invitation and a new error were both printed as changes; an error that was
    // already showing was not, so it is repeated for this command.
    if (after.invitation && after.invitation != before.invitation) return;
    if (after.error && after.error != before.error) return;
    StatusPrinter::printError(after.error.value_or(Invitations::kNoCode));
}

void HeadlessHost::listDevices() {
    const auto& devices = host_->published().devices;
    Console::field("devices", std::to_string(devices.size()));
    for (const auto& device : devices) {
        auto seen = lastSeen_.find(device.id);
        const std::string lastSeen = seen == lastSeen_.end() ? "never" : Console::utc(seen->second);
        // The name last: it may hold blanks. The id is a UUID (checked at admission).
        Console::field("device", device.id + " paired=" + Console::utc(device.pairedAt) +
                                     " last-seen=" + lastSeen + " name=" + device.name);
    }
}

void HeadlessHost::revoke(const std::string& id) {
    const auto& devices = host_->published().devices;
    const bool known = std::any_of(devices.begin(), devices.end(),
                                   [&](const TrustedDevice& device) { return device.id == id; });
    if (!known) return StatusPrinter::printError("No paired device has the id \"" + id + "\".");
    host_->revoke(id);
    const auto& after = host_->published().devices;
    const bool gone = std::none_of(after.begin(), after.end(),
                                   [&](const TrustedDevice& device) { return device.id == id; });
    // A failed keyring write keeps the device; its error was printed as a change.
    if (gone) {
        lastSeen_.erase(id);
        Console::field("revoked", id);
    }
}

void HeadlessHost::quit() {
    if (quitting_) return;
    quitting_ = true;
    host_->stop(true);
    Console::field("quit", "sharing stopped");
    if (auto callback = std::move(onQuit)) {
        onQuit = nullptr;
        callback();
    }
}

}  // namespace caldrovex
