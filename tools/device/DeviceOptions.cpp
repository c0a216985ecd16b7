#include "tools/device/DeviceOptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "tools/device/DeviceState.h"

namespace caldrovex::device {

namespace {

std::string lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<double> number(const std::string& text) {
    try {
        size_t used = 0;
        const double value = std::stod(text, &used);
        if (used == text.size() && std::isfinite(value)) return value;
    } catch (const std::logic_error&) {
    }
    return std::nullopt;
}

// Takes one option of the stream command (with its value); false when `argument` is none.
bool parseStreamOption(std::string_view argument, int& i, int argc, char** argv,
                       StreamOptions& stream, std::optional<std::string>& error) {
    if (argument == "--restart") return stream.restart = true;
    if (argument == "--log-frames") return stream.logFrames = true;
    static const std::vector<std::string_view> valued{
        "--fps", "--max-width", "--bitrate", "--display", "--seconds", "--png", "--probe"};
    if (std::find(valued.begin(), valued.end(), argument) == valued.end()) return false;
    if (i + 1 >= argc) {
        error = std::string(argument) + " needs a value";
        return true;
    }
    const std::string text = argv[++i];
    if (argument == "--png") {
        stream.png = text;
        return true;
    }
    if (argument == "--probe") {
        const size_t comma = text.find(',');
        auto x = number(text.substr(0, comma));
        auto y = comma == std::string::npos ? std::nullopt : number(text.substr(comma + 1));
        if (!x || !y || *x < 0 || *x > 1 || *y < 0 || *y > 1)
            error = "--probe takes X,Y between 0 and 1";
        else
            stream.probeX = *x, stream.probeY = *y;
        return true;
    }
    const auto value = number(text);
    if (!value || *value <= 0) {
        error = std::string(argument) + " takes a positive number";
        return true;
    }
    if (argument == "--seconds")
        stream.seconds = *value;
    else if (argument == "--fps")
        stream.fps = static_cast<int64_t>(*value);
    else if (argument == "--max-width")
        stream.maxWidth = static_cast<int64_t>(*value);
    else if (argument == "--bitrate")
        stream.bitrate = static_cast<int64_t>(*value);
    else if (argument == "--display")
        stream.displayID = static_cast<uint32_t>(*value);
    return true;
}

}  // namespace

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
        } else if (argument == "--relay") {
            options.relayOnly = true;
        } else if (argument == "--relay-pin") {
            if (auto pin = value(i, argument)) {
                if (pin->size() != 64 ||
                    pin->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    error = "--relay-pin takes the relay certificate's SHA-256 (64 hex digits)";
                else
                    options.relayPin = lowered(*pin);
            }
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
        } else if (parseStreamOption(argument, i, argc, argv, options.stream, error)) {
            // taken
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
    } else if (words[0] == "stream" && words.size() == 1) {
        options.command = Command::stream;
    } else {
        error = "expected \"pair LINK\", \"connect\" or \"stream\"";
    }
    return options;
}

const char* DeviceOptions::usage() {
    return "Usage: caldrovex-device [options] pair LINK\n"
           "       caldrovex-device [options] connect\n"
           "       caldrovex-device [options] stream [stream options]\n"
           "\n"
           "A reference device for the Caldrovex host.\n"
           "  pair LINK      pair with the host of an orvelo://pair?data=... link: connect to its\n"
           "                 first reachable address, pin its certificate, and store the token\n"
           "  connect        authenticate with the stored token and report the host's \"hello\"\n"
           "  stream         authenticate, ask for the stream, decode and acknowledge every "
           "frame,\n"
           "                 print per-second figures; commands on standard input: move X Y,\n"
           "                 click X Y, key CODE, text T, clipboard T, paste T, clipboardRequest,\n"
           "                 invite, keyframe, release, drop, reconnect, disconnect\n"
           "\n"
           "Options:\n"
           "  --state FILE   where the pairing is kept (default\n"
           "                 $XDG_STATE_HOME/caldrovex-device/state.json)\n"
           "  --name NAME    the device name shown on the host (pair only)\n"
           "  --takeover     take the session from a device that holds it\n"
           "  --timeout S    give up when the host has not answered within S seconds (30)\n"
           "  --relay        reach the host only through the relay it named (otherwise the relay\n"
           "                 is tried when none of its addresses can be reached)\n"
           "  --relay-pin H  accept only the relay certificate whose SHA-256 is H (remembered\n"
           "                 with the pairing; otherwise the system's certificate trust decides)\n"
           "Stream options:\n"
           "  --fps N, --max-width N, --bitrate N, --display ID, --restart\n"
           "                 what the \"stream\" request asks for (the host's defaults otherwise)\n"
           "  --seconds S    stream S seconds, then disconnect (default: until interrupted)\n"
           "  --png FILE     save the latest decoded picture as PNG at the end\n"
           "  --log-frames   one JSON line per decoded frame (monotonic times, probe colour)\n"
           "  --probe X,Y    the point (0..1) whose colour frame lines report (0.5,0.5)\n"
           "\n"
           "Every message from the host is printed on standard output as one JSON line; the\n"
           "device's own remarks go to standard error.\n"
           "Exit status: 0 success, 1 refused by the host (or busy), 2 wrong usage or link,\n"
           "3 host unreachable, connection lost or no answer, 4 certificate does not match the\n"
           "pinned hash, 5 the state file cannot be read or written.\n";
}

}  // namespace caldrovex::device
