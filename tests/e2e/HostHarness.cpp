#include "e2e/HostHarness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <stdexcept>

namespace caldrovex::test {

namespace fs = std::filesystem;

UserScratch::UserScratch() {
    std::string pattern = (fs::temp_directory_path() / "caldrovex-e2e-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const char* folder : {"home", "data", "config/Caldrovex", "state", "runtime", "device"})
        fs::create_directories(root_ / folder);
    fs::permissions(root_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    // The relay road stays off: its default service name must never be looked up from here.
    std::ofstream(root_ / "config" / "Caldrovex" / "defaults.json") << R"({"relayEnabled": false})";
}

UserScratch::~UserScratch() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::map<std::string, std::string> UserScratch::environment() const {
    return {{"HOME", (root_ / "home").string()},
            {"XDG_DATA_HOME", (root_ / "data").string()},
            {"XDG_CONFIG_HOME", (root_ / "config").string()},
            {"XDG_STATE_HOME", (root_ / "state").string()},
            {"XDG_RUNTIME_DIR", (root_ / "runtime").string()}};
}

std::string freshLoopbackAddress() {
    std::random_device random;
    std::uniform_int_distribution<int> octet(1, 254);
    return "127." + std::to_string(octet(random)) + "." + std::to_string(octet(random)) + "." +
           std::to_string(octet(random));
}

std::string binary(const std::string& name) {
    return std::string(CALDROVEX_BINARY_DIR) + "/bin/" + name;
}

HostProcess::HostProcess(const UserScratch& scratch, const std::string& address,
                         const std::vector<std::string>& extraArguments,
                         const std::map<std::string, std::string>& extraEnvironment)
    : process(
          binary("caldrovex-host"),
          [&] {
              std::vector<std::string> arguments{"--headless"};
              if (address.empty())
                  arguments.push_back("--relay-only");
              else
                  arguments.insert(arguments.end(), {"--listen", address, "--listen-only"});
              arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
              return arguments;
          }(),
          [&] {
              // The clipboard is the X display's, as on a desktop, not an offscreen stand-in.
              auto environment = scratch.environment();
              environment["QT_QPA_PLATFORM"] = "xcb";
              for (const auto& [name, value] : extraEnvironment) environment[name] = value;
              return environment;
          }()) {}

std::string HostProcess::pair() {
    const size_t from = lines();
    if (!process.writeLine("pair")) {
        ADD_FAILURE() << "the host does not read its input\n" << process.transcript();
        return {};
    }
    auto line = next("link: ", from);
    if (!line) {
        ADD_FAILURE() << "no link after \"pair\"\n" << process.transcript();
        return {};
    }
    return line->substr(std::string("link: ").size());
}

std::optional<std::string> HostProcess::command(const std::string& command,
                                                const std::string& prefix) {
    const size_t from = lines();
    if (!process.writeLine(command)) return std::nullopt;
    return next(prefix, from);
}

std::optional<std::string> HostProcess::next(const std::string& prefix, size_t from) {
    auto line = process.waitForLine(
        [&](const std::string& text) { return withoutTimestamp(text).starts_with(prefix); }, from,
        kProcessWait);
    if (!line) return std::nullopt;
    return withoutTimestamp(*line);
}

std::vector<std::string> HostProcess::log() const {
    std::vector<std::string> lines;
    for (const auto& line : process.output()) lines.push_back(withoutTimestamp(line));
    return lines;
}

bool hasTimestamp(const std::string& line) {
    static const std::regex pattern(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .*)");
    return std::regex_match(line, pattern);
}

std::string withoutTimestamp(const std::string& line) {
    return hasTimestamp(line) ? line.substr(line.find(' ') + 1) : line;
}

std::vector<ControlMessage> DeviceRun::replies() const {
    std::vector<ControlMessage> messages;
    for (const auto& line : output) {
        if (auto message = ControlMessage::decode(line)) messages.push_back(std::move(*message));
    }
    return messages;
}

std::optional<ControlMessage> DeviceRun::reply(const std::string& type) const {
    for (auto& message : replies()) {
        if (message.type == type) return message;
    }
    return std::nullopt;
}

std::string DeviceRun::transcript() const {
    std::string text = "device exit status " + std::to_string(status) + "\n--- output ---\n";
    for (const auto& line : output) text += line + "\n";
    text += "--- errors ---\n";
    for (const auto& line : errors) text += line + "\n";
    return text;
}

DeviceRun runDevice(const UserScratch& scratch, const std::vector<std::string>& arguments,
                    std::optional<std::filesystem::path> stateFile) {
    std::vector<std::string> all{"--state", stateFile.value_or(scratch.stateFile()).string(),
                                 "--timeout", "45"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return runProgram(scratch, "caldrovex-device", all);
}

DeviceRun runProgram(const UserScratch& scratch, const std::string& name,
                     const std::vector<std::string>& arguments) {
    ChildProcess process(binary(name), arguments, scratch.environment());
    process.closeInput();
    DeviceRun run;
    run.status = process.wait(kProcessWait).value_or(-1);
    run.output = process.output();
    run.errors = process.errors();
    return run;
}

}  // namespace caldrovex::test
