#include "tools/device/DeviceState.h"

#include <sys/stat.h>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <system_error>

namespace caldrovex::device {

namespace {

using nlohmann::json;

std::filesystem::path stateHome() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return state;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".local" / "state";
}

std::runtime_error failure(const std::filesystem::path& file, const std::string& what) {
    return std::runtime_error("The device state " + file.string() + " " + what + ".");
}

}  // namespace

std::filesystem::path DeviceState::defaultFile() {
    return stateHome() / "caldrovex-device" / "state.json";
}

DeviceState DeviceState::load(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) throw failure(file, "cannot be read (pair the device first)");
    try {
        const json object = json::parse(in);
        DeviceState state;
        object.at("deviceID").get_to(state.deviceID);
        object.at("deviceName").get_to(state.deviceName);
        object.at("token").get_to(state.token);
        object.at("hostID").get_to(state.hostID);
        object.at("hostName").get_to(state.hostName);
        object.at("addresses").get_to(state.addresses);
        object.at("port").get_to(state.port);
        object.at("certificateHash").get_to(state.certificateHash);
        if (object.contains("relay")) state.relay = object.at("relay").get<std::string>();
        if (object.contains("relayKey")) state.relayKey = object.at("relayKey").get<std::string>();
        if (object.contains("relayCertificateHash"))
            state.relayCertificateHash = object.at("relayCertificateHash").get<std::string>();
        return state;
    } catch (const json::exception&) {
        // The parser's own words name bytes and offsets; a person needs to know what to do.
        throw failure(file,
                      "is damaged or incomplete; pair the device again (or restore the file)");
    }
}

void DeviceState::checkWritable(const std::filesystem::path& file) {
    std::error_code error;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), error);
    if (error) throw failure(file, "has no folder (" + error.message() + ")");
    if (std::filesystem::is_directory(file, error)) throw failure(file, "is a folder");
    // What `save` does: a temporary file beside it, renamed over it.
    auto probe = file;
    probe += ".tmp";
    const mode_t previous = ::umask(077);
    bool written = static_cast<bool>(std::ofstream(probe, std::ios::trunc) << "");
    ::umask(previous);
    std::filesystem::remove(probe, error);
    if (!written) throw failure(file, "cannot be written");
}

void DeviceState::save(const std::filesystem::path& file) const {
    json object{{"deviceID", deviceID}, {"deviceName", deviceName},
                {"token", token},       {"hostID", hostID},
                {"hostName", hostName}, {"addresses", addresses},
                {"port", port},         {"certificateHash", certificateHash}};
    if (relay) object["relay"] = *relay;
    if (relayKey) object["relayKey"] = *relayKey;
    if (relayCertificateHash) object["relayCertificateHash"] = *relayCertificateHash;
    std::string text;
    try {
        text = object.dump(2) + "\n";
    } catch (const json::exception& error) {
        throw failure(file, std::string("cannot be encoded (") + error.what() + ")");
    }
    std::error_code error;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), error);
    if (error) throw failure(file, "has no folder (" + error.message() + ")");
    auto temporary = file;
    temporary += ".tmp";
    {
        // Owner-only from the start: the token must never be readable by others, not even
        // for the moment before a chmod.
        const mode_t previous = ::umask(077);
        std::ofstream out(temporary, std::ios::trunc);
        ::umask(previous);
        if (!(out << text) || !out.flush()) throw failure(file, "cannot be written");
    }
    std::filesystem::rename(temporary, file, error);
    if (error) throw failure(file, "cannot be replaced (" + error.message() + ")");
}

}  // namespace caldrovex::device
