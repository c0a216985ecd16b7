#pragma once

#include <optional>
#include <string>
#include <vector>

namespace caldrovex {

// The host's command line: options that shape a host being started, or a command for the
// host that already runs for this user (see HostCommands):
//
//   caldrovex-host [--headless] [--pair] [--control] [--curtain] [--local-network]
//                  [--listen ADDRESS]... [--listen-only | --relay-only]
//   caldrovex-host pair | status | devices | revoke ID | control on|off | curtain on|off | quit
//   caldrovex-host --help | --version
struct HostOptions {
    // Run without tray or panel, even where a display is available.
    bool headless = false;
    // Make a pairing invitation as soon as sharing runs.
    bool pair = false;
    // Allow remote control for this run (the saved setting is left alone and shown).
    bool control = false;
    // Turn the privacy curtain on at start (saved, as the panel's switch).
    bool curtain = false;
    // Also serve local-network addresses (the saved setting, as the panel's switch).
    bool localNetwork = false;
    // Addresses served before the private ones, in this order.
    std::vector<std::string> listen;
    // Serve only `listen`: no VPN or local-network addresses (tests, demos).
    bool listenOnly = false;
    // Serve no address at all: the relay is the only road (implies `listenOnly`).
    bool relayOnly = false;
    bool help = false;
    bool version = false;
    // A command for the running host, as words; empty when none.
    std::vector<std::string> command;

    // Whether any option that only a starting host can follow was given.
    bool shapesAStart() const;
    // The options shaping a start that were given, as typed (for a note when another host
    // runs already).
    std::string startOptions() const;

    // The options, or the reason the command line is wrong (one sentence, in `error`).
    static HostOptions parse(int argc, char** argv, std::optional<std::string>& error);
    static const char* usage();
};

}  // namespace caldrovex
