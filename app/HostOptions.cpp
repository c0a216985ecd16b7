#include "app/HostOptions.h"

#include <asio/ip/address.hpp>
#include <string_view>

#include "app/HostCommands.h"

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

bool HostOptions::shapesAStart() const {
    return !startOptions().empty();
}

std::string HostOptions::startOptions() const {
    std::string given;
    auto note = [&](bool set, const char* option) {
        if (!set) return;
        if (!given.empty()) given += " ";
        given += option;
    };
    note(headless, "--headless");
    note(pair, "--pair");
    note(control, "--control");
    note(curtain, "--curtain");
    note(localNetwork, "--local-network");
    note(!listen.empty(), "--listen");
    note(listenOnly && !relayOnly, "--listen-only");
    note(relayOnly, "--relay-only");
    return given;
}

HostOptions HostOptions::parse(int argc, char** argv, std::optional<std::string>& error) {
    HostOptions options;
    for (int i = 1; i < argc && !error; ++i) {
        const std::string_view argument = argv[i];
        if (!options.command.empty() || (!argument.starts_with("-") && !argument.empty())) {
            // The command and its arguments; an option after it belongs to it (and is then
            // reported as a wrong argument).
            options.command.emplace_back(argument);
        } else if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--pair") {
            options.pair = true;
        } else if (argument == "--control") {
            options.control = true;
        } else if (argument == "--curtain") {
            options.curtain = true;
        } else if (argument == "--local-network") {
            options.localNetwork = true;
        } else if (argument == "--listen-only") {
            options.listenOnly = true;
        } else if (argument == "--relay-only") {
            options.relayOnly = true;
            options.listenOnly = true;
        } else if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "--version") {
            options.version = true;
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
    if (error || options.help || options.version) return options;
    if (!options.command.empty()) {
        if (options.command[0] == "help")
            error = "unknown command \"help\" (use --help)";
        else if (auto problem = HostCommands::check(options.command))
            error = *problem;
        else if (options.shapesAStart())
            error = options.startOptions() + " only shape a host being started, not a command";
    } else if (options.relayOnly && !options.listen.empty()) {
        error = "--relay-only serves no address: leave out --listen";
    } else if (options.listenOnly && !options.relayOnly && options.listen.empty()) {
        error = "--listen-only needs at least one --listen address";
    }
    return options;
}

const char* HostOptions::usage() {
    return "Usage: caldrovex-host [--headless] [--pair] [--control] [--curtain] [--local-network]\n"
           "                      [--listen ADDRESS]... [--listen-only | --relay-only]\n"
           "       caldrovex-host pair | status | devices | revoke ID | control on|off |\n"
           "                      curtain on|off | quit\n"
           "       caldrovex-host --help | --version\n"
           "\n"
           "Shares this X11 desktop's screen with your paired phones and tablets (the Orvelo\n"
           "app). On a desktop it lives in the tray with its panel; without a display, or with\n"
           "--headless, it runs without windows and reads the commands below from standard\n"
           "input. Either way it logs its state changes on standard output as timestamped\n"
           "\"key: value\" lines.\n"
           "\n"
           "One host runs per user. Started again without a command, caldrovex-host brings the\n"
           "running host's panel forward and exits; with a command, it hands the command to the\n"
           "running host, prints the answer and exits with 0 (done), 1 (the host refused or\n"
           "failed), 2 (wrong command line) or 3 (no host runs for this user).\n"
           "\n"
           "Options for a host being started:\n"
           "  --headless          no tray icon and no panel, even where a display is available\n"
           "  --pair              once sharing runs, make a pairing invitation and print its link\n"
           "                      (\"link: orvelo://pair?data=...\") and a QR code\n"
           "  --control           allow remote control (keyboard, pointer, clipboard) for this\n"
           "                      run only; the saved setting is left as it is (status shows "
           "both)\n"
           "  --curtain           dim this computer's screen during sessions (saved, like the\n"
           "                      panel's switch; the device still sees the desktop)\n"
           "  --local-network     also serve this computer's local-network addresses (saved, like\n"
           "                      the panel's switch)\n"
           "  --listen ADDRESS    also serve this IP address, first in the list, so invitations\n"
           "                      carry it (repeatable; port 48725/tcp)\n"
           "  --listen-only       serve only the --listen addresses, no VPN or local-network\n"
           "                      addresses\n"
           "  --relay-only        serve no address of this computer: devices reach it through\n"
           "                      the relay alone (CALDROVEX_RELAY names it)\n"
           "  -h, --help          show this text\n"
           "  --version           show the version\n"
           "\n"
           "Commands (as arguments, or one per line on a headless host's standard input):\n"
           "  pair                make a new pairing invitation and print its link and QR code\n"
           "  status              print the whole status: sharing, addresses, port, relay,\n"
           "                      remote control (and whether saved), certificate, folders\n"
           "  devices             list the paired devices: id, pairing date, last seen, name\n"
           "  revoke ID           remove the paired device with this id\n"
           "  control on|off      allow or forbid remote control by the device (saved)\n"
           "  curtain on|off      dim this computer's screen during sessions, or not (saved)\n"
           "  quit                stop sharing and exit (sharing resumes at the next start)\n"
           "  help                list the commands (standard input only)\n"
           "End of input does not stop a headless host; SIGINT and SIGTERM stop it like \"quit\".\n"
           "\n"
           "Data, settings and secrets: $XDG_DATA_HOME/Caldrovex, $XDG_CONFIG_HOME/Caldrovex/\n"
           "defaults.json and the Secret Service keyring on the session bus. The command socket\n"
           "lies in $XDG_RUNTIME_DIR.\n";
}

}  // namespace caldrovex
