// The list of trusted devices as stored in the keyring, with any bytes: the registry either
// opens it or fails with its "damaged" sentence, and a list it opened survives being stored
// again and reopened.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/ManualQueue.h"
#include "trust/DeviceRegistry.h"
#include "trust/MemorySecretBackend.h"

using namespace caldrovex;

namespace {

constexpr const char* kHostID = "00000000-0000-4000-8000-000000000000";
const std::string kDamaged =
    "The list of trusted devices in the keyring is damaged and could not be read.";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto backend = std::make_shared<MemorySecretBackend>();
    auto clock = std::make_shared<platform::ManualQueue>("fuzz");
    const std::string account = std::string("host-devices-") + kHostID;
    backend->put(account, std::string(reinterpret_cast<const char*>(data), size));
    std::unique_ptr<DeviceRegistry> registry;
    try {
        registry = std::make_unique<DeviceRegistry>(SecureStore(backend), clock, kHostID, false);
    } catch (const CaldrovexError& error) {
        if (error.message() != kDamaged) std::abort();
        return 0;
    }
    // Adding a device stores the whole list again; it must read back as it was.
    try {
        registry->add("fuzz-device", "Fuzz", "token");
    } catch (const CaldrovexError&) {
        return 0;  // full (the device limit) or not storable: refused, nothing changed
    }
    DeviceRegistry reopened(SecureStore(backend), clock, kHostID, false);
    if (!(reopened.devices() == registry->devices())) std::abort();
    return 0;
}
