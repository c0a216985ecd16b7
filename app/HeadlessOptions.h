#pragma once

#include <optional>
#include <string>
#include <vector>

namespace caldrovex {

// The host's command line.
struct HeadlessOptions {
    // Run without windows (for now the only mode: the tray and panel come later).
    bool headless = false;
    // Make a pairing invitation as soon as sharing runs.
    bool pair = false;
    // Turn remote control on at start (the setting is stored, as the panel's switch does).
    bool control = false;
    // Turn the privacy curtain on at start (stored, as the panel's switch does).
    bool curtain = false;
    // Addresses served before the private ones, in this order.
    std::vector<std::string> listen;
    // Serve only `listen`: no VPN or local-network addresses (tests, demos).
    bool listenOnly = false;
    // Serve no address at all: the relay is the only road (implies `listenOnly`).
    bool relayOnly = false;
    bool help = false;

    // The options, or the reason the command line is wrong (in `error`).
    static HeadlessOptions parse(int argc, char** argv, std::optional<std::string>& error);
    static const char* usage();
};

}  // namespace caldrovex
