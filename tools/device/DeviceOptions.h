#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tools/device/StreamOptions.h"

namespace caldrovex::device {

// The reference device's command line:
//   caldrovex-device [--state FILE] [--name NAME] [--takeover] [--timeout SECONDS] pair LINK
//   caldrovex-device [--state FILE] [--takeover] [--timeout SECONDS] connect
//   caldrovex-device [--state FILE] [--takeover] [stream options] stream
// and, with every command, [--relay] [--relay-pin SHA256].
struct DeviceOptions {
    enum class Command { none, pair, connect, stream };

    Command command = Command::none;
    std::string link;
    std::filesystem::path stateFile;
    std::string deviceName = "Caldrovex reference device";
    bool takeover = false;
    // Go through the relay only, never to the host's own addresses.
    bool relayOnly = false;
    // The relay's certificate hash; without one the system's certificate trust decides.
    std::optional<std::string> relayPin;
    // How long to wait for the host's answer, connecting included.
    double timeoutSeconds = 30;
    bool help = false;
    StreamOptions stream;

    // The options, or the reason the command line is wrong (in `error`).
    static DeviceOptions parse(int argc, char** argv, std::optional<std::string>& error);
    static const char* usage();
};

}  // namespace caldrovex::device
