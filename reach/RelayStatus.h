#pragma once

#include <string>

namespace caldrovex {

// The state of the relay road as the interface shows it: `off` while no relay agent runs,
// `idle` while one runs with no keys to register, `connecting` while its links come up,
// `ready` once the relay holds a link for it, `unreachable` with the link's sentence when
// the relay cannot be reached.
struct RelayStatus {
    enum class Kind { off, idle, connecting, ready, unreachable };

    Kind kind = Kind::off;
    // The reason, for `unreachable` only.
    std::string message;

    static RelayStatus off() { return {}; }
    static RelayStatus idle() { return {Kind::idle, {}}; }
    static RelayStatus connecting() { return {Kind::connecting, {}}; }
    static RelayStatus ready() { return {Kind::ready, {}}; }
    static RelayStatus unreachable(std::string message) {
        return {Kind::unreachable, std::move(message)};
    }

    bool operator==(const RelayStatus&) const = default;
};

}  // namespace caldrovex
