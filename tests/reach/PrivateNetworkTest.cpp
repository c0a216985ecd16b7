#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reach/PrivateNetwork.h"

using caldrovex::PrivateNetwork;
using caldrovex::platform::InterfaceAddress;
using Family = InterfaceAddress::Family;
using Strings = std::vector<std::string>;

namespace {

InterfaceAddress v4(std::string name, std::string address) {
    return {std::move(name), Family::ipv4, std::move(address), true, false};
}

InterfaceAddress down(InterfaceAddress entry) {
    entry.up = false;
    return entry;
}

InterfaceAddress loopback(InterfaceAddress entry) {
    entry.loopback = true;
    return entry;
}

Strings addressesOf(const std::vector<InterfaceAddress>& list, bool includeLocal) {
    return PrivateNetwork::addresses(includeLocal, [list] { return list; });
}

}  // namespace

TEST(PrivateNetwork, SelectsAndOrdersAddresses) {
    struct Case {
        const char* name;
        std::vector<InterfaceAddress> list;
        Strings withoutLocal;
        Strings withLocal;
    };
    const std::vector<Case> cases = {
        {"Wi-Fi address counts only when local networks are allowed",
         {v4("en0", "192.168.1.20")},
         {},
         {"192.168.1.20"}},
        {"the same address on a VPN interface always counts",
         {v4("utun4", "192.168.1.20")},
         {"192.168.1.20"},
         {"192.168.1.20"}},
        {"Tailscale first, each group in system order",
         {v4("en0", "192.168.1.20"), v4("utun3", "100.100.5.6"), v4("wg0", "10.8.0.2")},
         {"100.100.5.6", "10.8.0.2"},
         {"100.100.5.6", "192.168.1.20", "10.8.0.2"}},
        {"public, link-local and just-outside-CGNAT addresses are left out",
         {v4("utun1", "8.8.8.8"), v4("utun2", "169.254.3.4"), v4("utun3", "100.128.0.1")},
         {},
         {}},
        {"down, loopback and IPv6 entries never count",
         {down(v4("wg0", "10.0.0.1")),
          loopback(v4("utun0", "10.0.0.2")),
          {"utun5", Family::ipv6, "fd7a:115c:a1e0::1", true, false},
          {"lo", Family::ipv4, "127.0.0.1", true, true}},
         {},
         {}},
        {"entries without an address or with an unprintable one are skipped",
         {{"wg0", Family::none, "", true, false},
          {"wg1", Family::ipv4, "", true, false},
          {"wg2", Family::other, "", true, false}},
         {},
         {}},
        {"an address on two interfaces appears once, at its first place",
         {v4("wg0", "10.1.1.1"), v4("tun0", "10.2.2.2"), v4("ppp0", "10.1.1.1")},
         {"10.1.1.1", "10.2.2.2"},
         {"10.1.1.1", "10.2.2.2"}},
        {"names outside both prefix lists never qualify",
         {v4("docker0", "172.17.0.1"), v4("veth12", "10.0.0.9"), v4("awdl0", "10.0.0.8")},
         {},
         {}},
        {"prefixes are case-sensitive", {v4("WG0", "10.0.0.1"), v4("EN0", "192.168.0.2")}, {}, {}},
        {"every VPN prefix qualifies",
         {v4("utun0", "10.0.0.1"), v4("tun1", "10.0.0.2"), v4("tap2", "10.0.0.3"),
          v4("wg3", "10.0.0.4"), v4("ipsec4", "10.0.0.5"), v4("ppp5", "10.0.0.6"),
          v4("zt6", "10.0.0.7"), v4("feth7", "10.0.0.8")},
         {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7",
          "10.0.0.8"},
         {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7",
          "10.0.0.8"}},
        {"Linux names: tailscale0 is a VPN; eth, wl, br, enp and bridge are local",
         {v4("eth0", "192.168.0.2"), v4("tailscale0", "100.64.1.2"), v4("wlan0", "10.9.0.3"),
          v4("wlp2s0", "10.9.0.4"), v4("br0", "172.16.0.5"), v4("enp3s0", "192.168.7.6"),
          v4("bridge100", "192.168.2.1")},
         {"100.64.1.2"},
         {"100.64.1.2", "192.168.0.2", "10.9.0.3", "10.9.0.4", "172.16.0.5", "192.168.7.6",
          "192.168.2.1"}},
        {"an empty list gives no addresses", {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(addressesOf(c.list, false), c.withoutLocal);
        EXPECT_EQ(addressesOf(c.list, true), c.withLocal);
    }
}

TEST(PrivateNetwork, ClassifiesAddressText) {
    struct Case {
        const char* text;
        bool isPrivate;
        bool isTailscale;
    };
    const std::vector<Case> cases = {
        {"10.0.0.1", true, false},
        {"10.1.2", false, false},      // three numbers
        {"10.1.2.3.4", false, false},  // five numbers
        {"172.15.0.1", false, false},
        {"172.16.0.1", true, false},
        {"172.31.255.255", true, false},
        {"172.32.0.1", false, false},
        {"192.168.0.1", true, false},
        {"192.169.0.1", false, false},
        {"100.63.255.255", false, false},
        {"100.64.0.0", true, true},
        {"100.100.5.6", true, true},
        {"100.127.255.255", true, true},
        {"100.128.0.1", false, false},
        {"169.254.1.1", false, false},
        {"8.8.8.8", false, false},
        {"", false, false},
        {"fd7a:115c:a1e0::1", false, false},
        // Empty pieces and non-numbers are dropped before counting; only a and b matter.
        {"10..1.2.3", true, false},
        {"192.168.x.1.2", true, false},
        {"100.64.999.999", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(PrivateNetwork::isPrivate(c.text), c.isPrivate);
        EXPECT_EQ(PrivateNetwork::isTailscale(c.text), c.isTailscale);
    }
}

TEST(PrivateNetwork, RealEnumerationYieldsOnlyPrivateIPv4) {
    // Whatever this machine has, the result obeys the rules: private, distinct, Tailscale first.
    for (bool includeLocal : {false, true}) {
        Strings found = PrivateNetwork::addresses(includeLocal);
        bool seenOther = false;
        for (size_t i = 0; i < found.size(); ++i) {
            EXPECT_TRUE(PrivateNetwork::isPrivate(found[i])) << found[i];
            if (!PrivateNetwork::isTailscale(found[i])) seenOther = true;
            EXPECT_FALSE(seenOther && PrivateNetwork::isTailscale(found[i])) << found[i];
            for (size_t j = 0; j < i; ++j) EXPECT_NE(found[i], found[j]);
        }
    }
}
