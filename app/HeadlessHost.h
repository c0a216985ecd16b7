#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/HeadlessOptions.h"
#include "app/StatusPrinter.h"
#include "host/HostEnvironment.h"
#include "host/HostModel.h"

namespace caldrovex {

// The host without a window: owns the one HostModel, prints its published state as it
// changes (StatusPrinter), and runs the commands read from standard input.
//
// Headless means nobody can turn sharing on by hand, so it starts sharing at once, or as soon
// as its credentials load (a keyring that comes up after the host); quitting stops it with the
// intent kept, so the next start shares again either way.
//
// Contract: made, used and destroyed on the main queue (the Qt loop), like the controller.
// `onQuit` runs there once, after `quit()` has stopped sharing; it may destroy this object.
class HeadlessHost {
public:
    // Creates and starts the controller; throws what HostModel::create throws.
    HeadlessHost(HostEnvironment environment, const HeadlessOptions& options);
    ~HeadlessHost();

    HeadlessHost(const HeadlessHost&) = delete;
    HeadlessHost& operator=(const HeadlessHost&) = delete;

    std::function<void()> onQuit;

    // One line of input: "pair", "devices", "revoke ID", "status", "help" or "quit".
    void command(const std::string& line);
    // Stops sharing (keeping the intent) and reports `onQuit`. Idempotent.
    void quit();

private:
    void hostChanged();
    void pair();
    void setControl(bool enabled);
    void listDevices();
    void revoke(const std::string& id);
    void noteSessions();

    std::shared_ptr<HostModel> host_;
    StatusPrinter printer_;
    // An invitation is due once a listener is ready (--pair).
    bool pairWhenRunning_ = false;
    bool quitting_ = false;
    // When each device last held a session during this run; the registry keeps only the
    // pairing date.
    std::map<std::string, std::chrono::system_clock::time_point> lastSeen_;
    std::optional<std::string> sessionDevice_;
};

}  // namespace caldrovex
