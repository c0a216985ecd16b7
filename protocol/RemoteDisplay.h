#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace caldrovex {

// One display the host can capture, as listed to the device. All four keys are required in
// its JSON object; `id` is the display's identity in lists. A plain value type.
struct RemoteDisplay {
    uint32_t id = 0;
    std::string name;
    int64_t width = 0;
    int64_t height = 0;

    bool operator==(const RemoteDisplay&) const = default;

    nlohmann::ordered_json toJSON() const;
    // nullopt when a key is missing (or null), of the wrong kind or out of range.
    static std::optional<RemoteDisplay> fromJSON(const nlohmann::json& value);

    // Compact JSON text; throws CaldrovexError when `name` is not valid UTF-8.
    std::string encode() const;
    static std::optional<RemoteDisplay> decode(std::string_view json);
};

}  // namespace caldrovex
