#pragma once

#include <functional>
#include <string>
#include <vector>

namespace caldrovex::platform {

// One entry of the system's interface address list, reduced to what address selection reads.
struct InterfaceAddress {
    enum class Family { none, ipv4, ipv6, other };

    std::string name;              // interface name, e.g. "wg0", "enp3s0"
    Family family = Family::none;  // `none` when the entry carries no address
    std::string address;           // numeric host text; empty when absent or not convertible
    bool up = false;               // IFF_UP
    bool loopback = false;         // IFF_LOOPBACK
};

// Produces the interface list in the system's order. Tests inject their own.
using InterfaceLister = std::function<std::vector<InterfaceAddress>()>;

// The machine's list, from getifaddrs; empty when the call fails. Blocks only briefly (no
// I/O beyond the kernel query); callable from any thread.
std::vector<InterfaceAddress> listInterfaceAddresses();

}  // namespace caldrovex::platform
