#include "platform/net/Endpoint.h"

namespace caldrovex::platform::net {

std::string describe(const Endpoint& endpoint) {
    if (auto* unix = std::get_if<UnixPath>(&endpoint)) return "unix:" + unix->path;
    const auto& tcp = std::get<HostPort>(endpoint);
    bool v6 = tcp.host.find(':') != std::string::npos;
    return (v6 ? "[" + tcp.host + "]" : tcp.host) + ":" + std::to_string(tcp.port);
}

}  // namespace caldrovex::platform::net
