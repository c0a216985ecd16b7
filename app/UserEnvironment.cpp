#include "app/UserEnvironment.h"

#include <cstdlib>

#include "adapters/files/JsonSettingsStore.h"
#include "platform/ComputerName.h"
#include "platform/SerialQueue.h"
#include "platform/UserFolders.h"
#include "reach/PrivateNetwork.h"
#include "reach/RelayAgent.h"
#include "reach/RelayConfiguration.h"

namespace caldrovex {

namespace {

// The user's temporary folder on this platform, and the socket's name in it.
constexpr const char* kBridgeSocket = "caldrovex-host-relay.sock";
// The autostart entry that makes the desktop start the host at login.
constexpr const char* kAutostartEntry = "caldrovex-host.desktop";

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace

HostEnvironment userEnvironment(platform::QueuePtr mainQueue,
                                std::shared_ptr<SecretBackend> secrets,
                                PermissionProbePtr permissions) {
    platform::UserFolders folders;
    HostEnvironment environment;
    environment.mainQueue = std::move(mainQueue);
    environment.clock = platform::SystemClock::shared();
    environment.makeQueue = [](const std::string& label) -> platform::QueuePtr {
        return platform::SerialQueue::make(label);
    };
    environment.secrets = std::move(secrets);
    auto settings =
        std::make_shared<platform::JsonSettingsStore>(platform::JsonSettingsStore::defaultFile());
    environment.relay =
        RelayConfiguration::resolve(variable(RelayConfiguration::kEnvironmentVariable),
                                    settings->text(RelayConfiguration::kSettingsKey));
    environment.settings = std::move(settings);
    environment.computerName = [] { return platform::ComputerName::current(); };
    environment.permissions = std::move(permissions);
    environment.privateAddresses = [](bool includeLocal) {
        return PrivateNetwork::addresses(includeLocal);
    };
    environment.makeListener = [](const platform::net::Parameters& parameters) {
        return platform::net::makeListener(parameters);
    };
    environment.dataFolder = folders.dataFolder();
    environment.bridgePath = folders.runtimeFolder() / kBridgeSocket;
    environment.makeRelayAgent = [](const RelayEndpoint& endpoint, const std::string& bridge) {
        return RelayAgent::make(endpoint, bridge);
    };
    auto autostart = folders.configFolder().parent_path() / "autostart" / kAutostartEntry;
    environment.loginItemEnabled = [autostart] {
        std::error_code error;
        return std::filesystem::exists(autostart, error);
    };
    return environment;
}

}  // namespace caldrovex
