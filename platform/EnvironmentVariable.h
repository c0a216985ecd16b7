#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace caldrovex::platform {

// The process environment's `name`, or nullopt when it is unset or empty (an empty DISPLAY or
// session type names nothing).
inline std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

}  // namespace caldrovex::platform
