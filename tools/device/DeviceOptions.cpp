#include "tools/device/DeviceOptions.h"

#include <cmath>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "tools/device/DeviceState.h"

namespace caldrovex::device {

DeviceOptions DeviceOptions::parse(int argc, char** argv, std::optional<std::string>& error) {
    DeviceOptions options;
    options.stateFile = DeviceState::defaultFile();
    std::vector<std::string> words;
    auto value = [&](int& i, std::string_view name) -> std::optional<std::string> {
        if (i + 1 < argc) return std::string(argv[++i]);
        error = std::string(name) + " needs a value";
        return std::nullopt;
    };
    for (int i = 1; i < argc && !error; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--takeover") {
            options.takeover = true;
        } else if (argument == "-h" || argument == "--help") {
            options.help = true;
        } else if (argument == "--state") {
            if (auto file = value(i, argument)) options.stateFile = *file;
        } else if (argument == "--name") {
            if (auto name = value(i, argument)) options.deviceName = *name;
        } else if (argument == "--timeout") {
            if (auto seconds = value(i, argument)) {
                try {
                    options.timeoutSeconds = std::stod(*seconds);
                } catch (const std::logic_error&) {
                    options.timeoutSeconds = NAN;
                }
                if (!(options.timeoutSeconds > 0)) error = "--timeout takes a number of seconds";
            }
        } else if (argument.starts_with("--")) {
            error = "unknown option \"" + std::string(argument) + "\"";
        } else {
            words.emplace_back(argument);
        }
    }
    if (error || options.help) return options;
    if (words.empty()) {
        error = "no command given";
    } else if (words[0] == "pair" && words.size() == 2) {
        options.command = Command::pair;
        options.link = words[1];
    } else if (words[0] == "connect" && words.size() == 1) {
        options.command = Command::connect;
    } else {
        error = "expected \"pair LINK\" or \"connect\"";
    }
    return options;
}

const char* DeviceOptions::usage() {
    return "Usage: caldrovex-device [options] pair LINK\n"
           "       caldrovex-device [options] connect\n"
           "\n"
           "A reference device for the Caldrovex host.\n"
           "  pair LINK      pair with the host of an orvelo://pair?data=... link: connect to its\n"
           "                 first reachable address, pin its certificate, and store the token\n"
           "  connect        authenticate with the stored token and report the host's \"hello\"\n"
           "\n"
           "Options:\n"
           "  --state FILE   where the pairing is kept (default\n"
           "                 $XDG_STATE_HOME/caldrovex-device/state.json)\n"
           "  --name NAME    the device name shown on the host (pair only)\n"
           "  --takeover     take the session from a device that holds it\n"
           "  --timeout S    give up when the host has not answered within S seconds (30)\n"
           "\n"
           "Every message from the host is printed on standard output as one JSON line; the\n"
           "device's own remarks go to standard error.\n"
           "Exit status: 0 success, 1 refused by the host (or busy), 2 wrong usage or link,\n"
           "3 host unreachable, connection lost or no answer, 4 certificate does not match the\n"
           "pinned hash, 5 the state file cannot be read or written.\n";
}

}  // namespace caldrovex::device
