#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "platform/Clock.h"

namespace caldrovex {

// One paired device, as the registry keeps it: never the device's token, only its hash.
struct TrustedDevice {
    // As the device sent it when pairing; unique within the registry.
    std::string id;
    // Display name, at most 80 user-perceived characters.
    std::string name;
    // SecureStore::hash of the token's UTF-8 bytes (64 lower-case hexadecimal digits).
    std::string tokenHash;
    // When the device was (last) paired.
    platform::Clock::WallTime pairedAt;

    bool operator==(const TrustedDevice&) const = default;

    // Stored dates count seconds from 1 January 2001 00:00:00 UTC, with fraction, so that
    // lists written by earlier versions of the host stay readable.
    static double secondsSinceReferenceDate(platform::Clock::WallTime date);
    // Throws std::out_of_range for a value that is not finite or lies so far off that the
    // system clock cannot represent it.
    static platform::Clock::WallTime fromSecondsSinceReferenceDate(double seconds);
};

// The stored form: an object with exactly "id", "name", "tokenHash" and "pairedAt" (a
// number of seconds since the reference date). Reading ignores other keys and throws
// (nlohmann::json::exception or std::out_of_range) when one of the four is missing or has
// the wrong type.
void to_json(nlohmann::json& json, const TrustedDevice& device);
void from_json(const nlohmann::json& json, TrustedDevice& device);

}  // namespace caldrovex
