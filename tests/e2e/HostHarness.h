#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/ControlMessage.h"
#include "support/ChildProcess.h"

namespace caldrovex::test {

// Generous: key generation and keyring calls in a sanitizer build on a loaded machine.
constexpr std::chrono::milliseconds kProcessWait{60'000};

// Private per-user folders for one test (home, XDG data, config, state and runtime), as the
// environment entries that point the programs at them. Removed at destruction.
class UserScratch {
public:
    UserScratch();
    ~UserScratch();
    UserScratch(const UserScratch&) = delete;
    UserScratch& operator=(const UserScratch&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::map<std::string, std::string> environment() const;
    // The device's state file (under the scratch's own folder, not the default one).
    std::filesystem::path stateFile() const { return root_ / "device" / "state.json"; }

private:
    std::filesystem::path root_;
};

// A loopback address of its own for each host (127.x.y.z), so that hosts of different test
// runs on this machine never compete for the fixed port.
std::string freshLoopbackAddress();

// The real caldrovex-host, headless, serving only `address` (none with --relay-only when empty),
// with the relay road switched off in its settings so that it never reaches beyond loopback
// (unless a test turns it on and names a relay of its own in `extraEnvironment`, which adds to
// or replaces in the scratch's environment).
class HostProcess {
public:
    HostProcess(const UserScratch& scratch, const std::string& address,
                const std::vector<std::string>& extraArguments = {},
                const std::map<std::string, std::string>& extraEnvironment = {});

    // Sends "pair" and returns the link printed for it (failing the test when none comes).
    std::string pair();
    // Sends `command` and waits for the first line starting with `prefix` that follows it.
    std::optional<std::string> command(const std::string& command, const std::string& prefix);
    // The first log line starting with `prefix` (after its timestamp) printed since line
    // `from`, without its timestamp.
    std::optional<std::string> next(const std::string& prefix, size_t from);
    size_t lines() const { return process.output().size(); }
    // The output so far, timestamps taken off.
    std::vector<std::string> log() const;

    ChildProcess process;
};

// One finished run of caldrovex-device.
struct DeviceRun {
    int status = -1;
    std::vector<std::string> output;
    std::vector<std::string> errors;

    // The host's replies the device printed, decoded.
    std::vector<ControlMessage> replies() const;
    std::optional<ControlMessage> reply(const std::string& type) const;
    std::string transcript() const;
};

// Runs the program `name` of the build with `arguments` and the scratch's environment to its
// end, its input closed.
DeviceRun runProgram(const UserScratch& scratch, const std::string& name,
                     const std::vector<std::string>& arguments);

// Runs caldrovex-device with `arguments` to its end, keeping its state in `stateFile` (by
// default the scratch's).
DeviceRun runDevice(const UserScratch& scratch, const std::vector<std::string>& arguments,
                    std::optional<std::filesystem::path> stateFile = std::nullopt);

std::string binary(const std::string& name);

// Whether `line` begins with the host's log timestamp ("2024-05-01T12:00:00.123Z ").
bool hasTimestamp(const std::string& line);
// `line` without that timestamp (unchanged when it has none: a QR code's row).
std::string withoutTimestamp(const std::string& line);

}  // namespace caldrovex::test
