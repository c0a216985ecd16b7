// caldrovex-device: the reference device. Pairs with a host from its invitation link and
// connects again with the stored token; see DeviceOptions::usage for the command line.

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/SerialQueue.h"
#include "tools/device/DeviceCommands.h"
#include "tools/device/DeviceOptions.h"

using namespace caldrovex::device;

namespace {

int run(const DeviceOptions& options) {
    switch (options.command) {
        case DeviceOptions::Command::pair:
            return DeviceCommands::pair(options);
        case DeviceOptions::Command::connect:
            return DeviceCommands::connect(options);
        case DeviceOptions::Command::stream:
            return DeviceCommands::stream(options);
        case DeviceOptions::Command::none:
            break;
    }
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::string> error;
    const auto options = DeviceOptions::parse(argc, argv, error);
    if (error) {
        std::fprintf(stderr, "caldrovex-device: %s\n\n%s", error->c_str(), DeviceOptions::usage());
        return kUsage;
    }
    if (options.help) {
        std::fputs(DeviceOptions::usage(), stdout);
        return kSuccess;
    }
    // A reader that went away must not kill the device in the middle of storing its state.
    std::signal(SIGPIPE, SIG_IGN);
    const int status = run(options);
    caldrovex::platform::SerialQueue::shutdown();
    return status;
}
