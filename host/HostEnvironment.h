#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Clipboard.h"
#include "host/PermissionProbe.h"
#include "host/PowerControl.h"
#include "host/RelayControl.h"
#include "host/SettingsStore.h"
#include "input/InputController.h"
#include "input/LocalInputWatcher.h"
#include "input/PrivacyCurtain.h"
#include "input/ScreenChangeNotifier.h"
#include "platform/Clock.h"
#include "platform/Queue.h"
#include "platform/net/Connection.h"
#include "reach/RelayConfiguration.h"
#include "trust/SecretBackend.h"
#include "video/ScreenStreamer.h"

namespace caldrovex {

// Everything the host controller takes from outside: its queues and clock, where secrets and
// settings live, what it asks the platform, and how it makes listeners. The application fills
// it with the real components (app/UserEnvironment.h); tests fill it with fakes on virtual time.
//
// All members must be set before the controller is created, and live as long as it does.
struct HostEnvironment {
    // The queue on which the controller runs, with its timers and delayed work.
    platform::QueuePtr mainQueue;
    platform::ClockPtr clock;
    // Makes the serial queue of one connection ("caldrovex.transport") or listener
    // ("caldrovex.listener." + address).
    std::function<platform::QueuePtr(const std::string& label)> makeQueue;
    // The keyring (or a memory stand-in), for the identity password, registry and relay secret.
    std::shared_ptr<SecretBackend> secrets;
    std::shared_ptr<SettingsStore> settings;
    // The computer's name for devices; nullopt when the system has none.
    std::function<std::optional<std::string>()> computerName;
    PermissionProbePtr permissions;
    // The private addresses to serve, best first; local (non-VPN) ones only when asked.
    std::function<std::vector<std::string>(bool includeLocal)> privateAddresses;
    std::function<platform::net::ListenerPtr(const platform::net::Parameters&)> makeListener;
    // The folder of the identity files.
    std::filesystem::path dataFolder;
    // The relay bridge's unix socket.
    std::filesystem::path bridgePath;
    // Which relay to use, if any, and why not when none.
    RelayConfiguration relay;
    // Makes the relay agent for a relay and the bridge ("caldrovex.relay.agent").
    RelayControl::AgentFactory makeRelayAgent;
    // Whether the host is set to start at login.
    std::function<bool()> loginItemEnabled;
    // Makes the host start at login, or no longer; throws CaldrovexError with the sentence
    // to show when that fails. May be empty (the switch then does nothing).
    std::function<void(bool enabled)> setLoginItem;

    // The session's reach into the desktop: injected input, the clipboard, power management.
    std::shared_ptr<InputController> input;
    ClipboardPtr clipboard;
    PowerControlPtr power;
    // Captures the displays and owns the video pipeline that sends them.
    std::shared_ptr<ScreenStreamer> screen;
    // The privacy curtain, the watching of input at this computer that lifts it, and the
    // screen changes it follows.
    std::shared_ptr<PrivacyCurtain> curtain;
    std::shared_ptr<LocalInputWatcher> localInput;
    std::shared_ptr<ScreenChangeNotifier> screenChanges;
};

}  // namespace caldrovex
