#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace caldrovex::platform {

// The name under which this computer introduces itself to devices: the user-chosen "pretty"
// host name of /etc/machine-info (PRETTY_HOSTNAME, as hostnamectl sets it), else the kernel's
// host name. Callers supply their own fallback when neither exists.
//
// Reads a small file and makes one system call; callable from any thread.
class ComputerName {
public:
    using HostnameSource = std::function<std::optional<std::string>()>;

    // The machine's name, or nullopt when it has none.
    static std::optional<std::string> current();

    // The same from an injected machine-info file and host name source.
    static std::optional<std::string> resolve(const std::filesystem::path& machineInfo,
                                              const HostnameSource& hostname);

    // PRETTY_HOSTNAME in the text of a machine-info file (shell-style KEY=VALUE lines, values
    // optionally quoted); nullopt when missing or empty.
    static std::optional<std::string> prettyHostname(std::string_view machineInfo);

    // gethostname(); nullopt when it fails or is empty.
    static std::optional<std::string> kernelHostname();
};

}  // namespace caldrovex::platform
