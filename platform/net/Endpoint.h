#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace caldrovex::platform::net {

// A TCP host and port (host: an IPv4/IPv6 literal or a name) or a unix-domain socket path.
struct HostPort {
    std::string host;
    uint16_t port = 0;
    bool operator==(const HostPort&) const = default;
};

struct UnixPath {
    std::string path;
    bool operator==(const UnixPath&) const = default;
};

using Endpoint = std::variant<HostPort, UnixPath>;

// "host:port" (IPv6 hosts in brackets) or "unix:<path>", for messages and labels.
std::string describe(const Endpoint& endpoint);

}  // namespace caldrovex::platform::net
