#include "platform/ComputerName.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace caldrovex::platform {

namespace {

std::string_view trim(std::string_view text) {
    const char* blanks = " \t\r";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// One shell-style value: 'single quoted' is literal, "double quoted" and bare text honour
// backslash escapes. Quoted and bare parts may follow each other, as in a shell word.
std::string unquote(std::string_view value) {
    std::string out;
    char quote = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                out += c;
        } else if (c == '\\' && i + 1 < value.size()) {
            out += value[++i];
        } else if (c == quote) {
            quote = 0;
        } else if (quote == 0 && (c == '"' || c == '\'')) {
            quote = c;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> ComputerName::prettyHostname(std::string_view machineInfo) {
    std::optional<std::string> found;
    while (!machineInfo.empty()) {
        auto end = machineInfo.find('\n');
        auto line = trim(machineInfo.substr(0, end));
        machineInfo =
            end == std::string_view::npos ? std::string_view{} : machineInfo.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        auto equals = line.find('=');
        if (equals == std::string_view::npos || trim(line.substr(0, equals)) != "PRETTY_HOSTNAME")
            continue;
        // A later assignment wins, as when the file is sourced by a shell.
        found = unquote(trim(line.substr(equals + 1)));
    }
    if (found && found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> ComputerName::kernelHostname() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
    return std::string(name);
}

std::optional<std::string> ComputerName::resolve(const std::filesystem::path& machineInfo,
                                                 const HostnameSource& hostname) {
    std::ifstream stream(machineInfo);
    if (stream) {
        std::stringstream text;
        text << stream.rdbuf();
        if (auto pretty = prettyHostname(text.str())) return pretty;
    }
    return hostname ? hostname() : std::nullopt;
}

std::optional<std::string> ComputerName::current() {
    return resolve("/etc/machine-info", kernelHostname);
}

}  // namespace caldrovex::platform
