#pragma once

#include <memory>

#include "host/HostEnvironment.h"

namespace caldrovex {

// The host's environment for the current user: serial queues on the shared pool, the
// system clock, settings in $XDG_CONFIG_HOME, the identity files in $XDG_DATA_HOME, the relay
// bridge in $XDG_RUNTIME_DIR, the relay named by CALDROVEX_RELAY or the settings file, the
// machine's private addresses and real listeners. The keyring backend and the permission probe come
// from adapter libraries and are given here; the desktop's input, clipboard, power control and
// screen are set by the caller afterwards (DesktopComponents::addTo).
HostEnvironment userEnvironment(platform::QueuePtr mainQueue,
                                std::shared_ptr<SecretBackend> secrets,
                                PermissionProbePtr permissions);

}  // namespace caldrovex
