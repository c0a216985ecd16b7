#include "platform/InterfaceList.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <memory>

namespace caldrovex::platform {
namespace {

struct IfaddrsDeleter {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

InterfaceAddress::Family familyOf(const sockaddr* address) {
    if (address == nullptr) return InterfaceAddress::Family::none;
    switch (address->sa_family) {
        case AF_INET:
            return InterfaceAddress::Family::ipv4;
        case AF_INET6:
            return InterfaceAddress::Family::ipv6;
        default:
            return InterfaceAddress::Family::other;
    }
}

// Numeric host text, or empty when the system cannot convert it.
std::string numericHost(const sockaddr* address) {
    socklen_t length = 0;
    if (address->sa_family == AF_INET) {
        length = sizeof(sockaddr_in);
    } else if (address->sa_family == AF_INET6) {
        length = sizeof(sockaddr_in6);
    } else {
        return {};
    }
    char host[NI_MAXHOST] = {};  // 1025 bytes: the largest host text getnameinfo writes
    if (getnameinfo(address, length, host, sizeof(host), nullptr, 0, NI_NUMERICHOST) != 0) {
        return {};
    }
    return host;
}

}  // namespace

std::vector<InterfaceAddress> listInterfaceAddresses() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) return {};
    std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);

    std::vector<InterfaceAddress> result;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        InterfaceAddress item;
        item.name = entry->ifa_name ? entry->ifa_name : "";
        item.family = familyOf(entry->ifa_addr);
        if (item.family == InterfaceAddress::Family::ipv4 ||
            item.family == InterfaceAddress::Family::ipv6) {
            item.address = numericHost(entry->ifa_addr);
        }
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        result.push_back(std::move(item));
    }
    return result;
}

}  // namespace caldrovex::platform
