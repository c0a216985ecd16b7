#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/InterfaceList.h"

namespace caldrovex {

// Which of this machine's addresses a paired device can reach directly: the private IPv4
// addresses of VPN interfaces, and, when the user allows it, of local Ethernet, Wi-Fi and
// bridge interfaces. Tailscale addresses (100.64.0.0/10) come first, since that is the road
// most devices share with the host; otherwise the system's order is kept.
//
// Stateless and pure apart from the injected interface list; callable from any thread. The
// host controller calls `addresses` on every listener refresh.
class PrivateNetwork {
public:
    PrivateNetwork() = delete;

    // Distinct addresses in serving order; empty when the list is empty or unavailable.
    static std::vector<std::string> addresses(
        bool includeLocal,
        const platform::InterfaceLister& listInterfaces = platform::listInterfaceAddresses);

    // 10/8, 172.16/12, 192.168/16 or 100.64/10. Only the first two numbers are examined.
    static bool isPrivate(std::string_view address);
    // 100.64.0.0/10, the carrier-grade NAT range Tailscale hands out.
    static bool isTailscale(std::string_view address);
};

}  // namespace caldrovex
