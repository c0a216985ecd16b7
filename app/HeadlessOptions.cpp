#include "app/HeadlessOptions.h"

#include <asio/ip/address.hpp>
#include <string_view>

namespace caldrovex {

namespace {

// Why `text` cannot be served with --listen, or nullopt when it can.
std::optional<std::string> listenProblem(const std::string& text) {
    std::error_code error;
    const auto address = asio::ip::make_address(text, error);
    // The listener binds exactly this address; a name or a typo would only fail later, on
    // the listener's queue.
    if (error) return "--listen takes an IP address, not \"" + text + "\"";
    // Invitations carry the served addresses for devices to dial; "every address" is not one.
    if (address.is_unspecified())
        return "--listen takes one address of this computer, not \"" + text +
               "\", which stands for all of them and means nothing to a device";
    return std::nullopt;
}

}  // namespace

HeadlessOptions HeadlessOptions::parse(int argc, char** argv, std::optional<std::string>& error) {
    HeadlessOptions options;
    for (int i = 1; i < argc && !error; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--pair") {
            options.pair = true;
        } else if (argument == "--control") {
            options.control = true;
        } else if (argument == "--curtain") {
            options.curtain = true;
        } else if (argument == "--listen-only") {
            options.listenOnly = true;
        } else if (argument == "--relay-only") {
            options.relayOnly = true;
            options.listenOnly = true;
        } else if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "--listen" || argument.starts_with("--listen=")) {
            std::string address;
            if (argument == "--listen") {
                if (i + 1 >= argc) {
                    error = "--listen needs an address";
                    break;
                }
                address = argv[++i];
            } else {
                address = std::string(argument.substr(std::string_view("--listen=").size()));
            }
            error = listenProblem(address);
            if (!error) options.listen.push_back(address);
        } else {
            error = "unknown option \"" + std::string(argument) + "\"";
        }
    }
    if (!error && options.relayOnly && !options.listen.empty())
        error = "--relay-only serves no address: leave out --listen";
    else if (!error && options.listenOnly && !options.relayOnly && options.listen.empty())
        error = "--listen-only needs at least one --listen address";
    return options;
}

const char* HeadlessOptions::usage() {
    return "Usage: caldrovex-host [--headless] [--pair] [--control] [--curtain] "
           "[--listen ADDRESS]... [--listen-only | --relay-only]\n"
           "\n"
           "Shares this X11 desktop with paired devices. Status changes and errors are printed\n"
           "on standard output as \"key: value\" lines; commands are read from standard input.\n"
           "Without --headless the host runs headless as well for now: the tray icon and panel\n"
           "are not there yet.\n"
           "\n"
           "Options:\n"
           "  --headless          run without any window\n"
           "  --pair              once sharing runs, make a pairing invitation and print its\n"
           "                      link (\"link: orvelo://pair?data=...\") and a QR code\n"
           "  --control           allow remote control (keyboard, pointer, clipboard) from now on\n"
           "  --curtain           dim this computer's screen during sessions from now on (the\n"
           "                      device still sees the desktop)\n"
           "  --listen ADDRESS    also serve this IP address, first in the list, so invitations\n"
           "                      carry it (repeatable; port 48725)\n"
           "  --listen-only       serve only the --listen addresses, no VPN or local-network\n"
           "                      addresses\n"
           "  --relay-only        serve no address of this computer: devices reach it through\n"
           "                      the relay alone (CALDROVEX_RELAY names it)\n"
           "  -h, --help          show this text\n"
           "\n"
           "Commands (one per line):\n"
           "  pair                make a new pairing invitation and print it\n"
           "  devices             list the paired devices: id, pairing date, last seen, name\n"
           "  revoke ID           remove the paired device with this id\n"
           "  status              print the whole status\n"
           "  control on|off      allow or forbid remote control by the device\n"
           "  curtain on|off      dim this computer's screen during sessions, or not\n"
           "  help                list the commands\n"
           "  quit                stop sharing and exit (sharing resumes at the next start)\n"
           "End of input does not stop the host; SIGINT and SIGTERM stop it like \"quit\".\n"
           "\n"
           "Data, settings and keyring: $XDG_DATA_HOME/Caldrovex, $XDG_CONFIG_HOME/Caldrovex and\n"
           "the Secret Service on the session bus, as for the desktop host.\n";
}

}  // namespace caldrovex
