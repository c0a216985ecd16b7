#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace caldrovex::device {

// What the reference device remembers about the host it paired with: its own id, name and
// long-term token, and how to find and recognise the host (addresses, port, the pinned
// certificate hash, the host's id and name, the relay road when the host offered one).
//
// Kept as one JSON object in a file of its own (mode 0600: the token lets anyone in). The
// file is written through a temporary file renamed over the old one, so an interrupted
// write leaves the previous state. Plain value; no thread rules.
struct DeviceState {
    std::string deviceID;
    std::string deviceName;
    std::string token;
    std::string hostID;
    std::string hostName;
    // Where to reach the host, best first.
    std::vector<std::string> addresses;
    uint16_t port = 0;
    // Lower-case hexadecimal SHA-256 of the host certificate's DER bytes.
    std::string certificateHash;
    // The relay road, as the host gave it ("host:port" and this device's rendezvous value),
    // and the relay certificate's hash when one was pinned with --relay-pin.
    std::optional<std::string> relay;
    std::optional<std::string> relayKey;
    std::optional<std::string> relayCertificateHash;

    // $XDG_STATE_HOME/caldrovex-device/state.json, else ~/.local/state/caldrovex-device/…
    static std::filesystem::path defaultFile();

    // Throws std::runtime_error with a sentence naming the file when it is missing,
    // unreadable or not a complete state.
    static DeviceState load(const std::filesystem::path& file);
    // Creates the folder when missing. Throws std::runtime_error on failure.
    void save(const std::filesystem::path& file) const;
    // Throws std::runtime_error with a sentence when `save` could not write `file`: checked
    // before pairing, so that a device is never paired with a host that it then forgets.
    // Creates the folder when missing; leaves no file behind.
    static void checkWritable(const std::filesystem::path& file);
};

}  // namespace caldrovex::device
