#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tools/relay/RelayService.h"

namespace caldrovex::relay {

// The relay service's command line:
//   caldrovex-relay [--listen ADDRESS[:PORT]] [--state DIR] [--certificate FILE --key FILE]
//                   [--max-connections N] [--per-source N]
struct RelayOptions {
    RelayService::Settings service;
    // Where the self-made certificate is kept: $STATE_DIRECTORY (set by systemd), else
    // $XDG_STATE_HOME/caldrovex-relay, else ~/.local/state/caldrovex-relay.
    std::filesystem::path stateFolder;
    // A certificate and key of the owner's, used instead of the self-made pair.
    std::optional<std::filesystem::path> certificateFile;
    std::optional<std::filesystem::path> keyFile;
    bool help = false;

    // The options, or the reason the command line is wrong (in `error`).
    static RelayOptions parse(int argc, char** argv, std::optional<std::string>& error);
    static const char* usage();
    static std::filesystem::path defaultStateFolder();
};

}  // namespace caldrovex::relay
