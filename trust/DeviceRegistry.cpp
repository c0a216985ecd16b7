#include "trust/DeviceRegistry.h"

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "protocol/JsonReader.h"
#include "protocol/UnicodeText.h"

namespace caldrovex {

namespace {

const char* const kAccountPrefix = "host-devices-";

CaldrovexError limitError() {
    return CaldrovexError("The host has reached its device limit. Remove an old device first.");
}

CaldrovexError undecodableError() {
    return CaldrovexError(
        "The list of trusted devices in the keyring is damaged and could not be read.");
}

CaldrovexError unencodableError() {
    return CaldrovexError("The device's identifier or name is not valid UTF-8 text.");
}

std::vector<TrustedDevice> decode(const std::string& stored) {
    try {
        const nlohmann::json list = JsonReader::parse(stored);
        if (!list.is_array()) throw undecodableError();  // a discarded value is not one
        return list.get<std::vector<TrustedDevice>>();
    } catch (const nlohmann::json::exception&) {
        throw undecodableError();
    } catch (const std::out_of_range&) {
        throw undecodableError();
    }
}

std::string encode(const std::vector<TrustedDevice>& devices) {
    try {
        return nlohmann::json(devices).dump();
    } catch (const nlohmann::json::type_error&) {
        // Strings that are not valid UTF-8 cannot be written as JSON.
        throw unencodableError();
    }
}

}  // namespace

DeviceRegistry::DeviceRegistry(SecureStore store, platform::ClockPtr clock,
                               const std::string& hostID, bool allowCredentialInteraction)
    : store_(std::move(store)), clock_(std::move(clock)), account_(kAccountPrefix + hostID) {
    if (!clock_) throw std::invalid_argument("DeviceRegistry needs a clock");
    if (auto stored = store_.read(account_, allowCredentialInteraction)) {
        devices_ = decode(*stored);
    }
}

void DeviceRegistry::add(const std::string& id, const std::string& name, const std::string& token) {
    const bool known = std::any_of(devices_.begin(), devices_.end(),
                                   [&](const TrustedDevice& device) { return device.id == id; });
    if (devices_.size() >= kDeviceLimit && !known) throw limitError();

    std::vector<TrustedDevice> next;
    next.reserve(devices_.size() + 1);
    std::copy_if(devices_.begin(), devices_.end(), std::back_inserter(next),
                 [&](const TrustedDevice& device) { return device.id != id; });
    next.push_back(TrustedDevice{id, UnicodeText::firstCharacters(name, kNameLimit),
                                 SecureStore::hash(token), clock_->wall()});
    commit(std::move(next));
}

bool DeviceRegistry::accepts(const std::string& id, const std::string& token) const {
    auto found = std::find_if(devices_.begin(), devices_.end(),
                              [&](const TrustedDevice& device) { return device.id == id; });
    if (found == devices_.end()) return false;
    return SecureStore::constantTimeEqual(SecureStore::hash(token), found->tokenHash);
}

void DeviceRegistry::revoke(const std::string& id) {
    std::vector<TrustedDevice> next;
    std::copy_if(devices_.begin(), devices_.end(), std::back_inserter(next),
                 [&](const TrustedDevice& device) { return device.id != id; });
    commit(std::move(next));
}

void DeviceRegistry::commit(std::vector<TrustedDevice> next) {
    store_.write(encode(next), account_);
    devices_ = std::move(next);
}

}  // namespace caldrovex
