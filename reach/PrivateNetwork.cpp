#include "reach/PrivateNetwork.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <optional>

namespace caldrovex {
namespace {

// Interface name prefixes, tested case-sensitively. The macOS names come first; "tailscale"
// (tailscale0), "eth" (eth0), "wl" (wlan0, wlp2s0) and "br" (br0) are the Linux names that
// would otherwise be missed ("enp3s0" already matches "en").
constexpr std::array<std::string_view, 9> kVpnPrefixes = {
    "utun", "tun", "tap", "wg", "ipsec", "ppp", "zt", "feth", "tailscale"};
constexpr std::array<std::string_view, 5> kLocalPrefixes = {"en", "bridge", "eth", "wl", "br"};

bool hasPrefix(std::string_view name, std::string_view prefix) {
    return name.substr(0, prefix.size()) == prefix;
}

template <size_t N>
bool matchesAny(std::string_view name, const std::array<std::string_view, N>& prefixes) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](std::string_view prefix) { return hasPrefix(name, prefix); });
}

// A base-10 integer with an optional sign, nothing else around it; nullopt otherwise.
std::optional<int64_t> readInteger(std::string_view piece) {
    if (!piece.empty() && piece.front() == '+') {
        piece.remove_prefix(1);
        if (!piece.empty() && piece.front() == '-') return std::nullopt;
    }
    if (piece.empty()) return std::nullopt;
    int64_t value = 0;
    auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (error != std::errc() || end != piece.data() + piece.size()) return std::nullopt;
    return value;
}

// The numbers of a dotted text: empty pieces and pieces that are not integers are dropped.
// Only texts that leave exactly four numbers count as addresses.
std::optional<std::array<int64_t, 4>> readFourNumbers(std::string_view text) {
    std::array<int64_t, 4> numbers{};
    size_t count = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t dot = text.find('.', start);
        if (dot == std::string_view::npos) dot = text.size();
        std::string_view piece = text.substr(start, dot - start);
        if (!piece.empty()) {
            if (auto number = readInteger(piece)) {
                if (count == numbers.size()) return std::nullopt;
                numbers[count++] = *number;
            }
        }
        start = dot + 1;
    }
    if (count != numbers.size()) return std::nullopt;
    return numbers;
}

bool inTailscaleRange(int64_t a, int64_t b) {
    return a == 100 && b >= 64 && b <= 127;
}

}  // namespace

std::vector<std::string> PrivateNetwork::addresses(
    bool includeLocal, const platform::InterfaceLister& listInterfaces) {
    using Family = platform::InterfaceAddress::Family;
    std::vector<std::string> result;
    for (const auto& entry : listInterfaces()) {
        if (entry.family != Family::ipv4) continue;
        if (!entry.up || entry.loopback) continue;
        const bool vpn = matchesAny(entry.name, kVpnPrefixes);
        const bool local = matchesAny(entry.name, kLocalPrefixes);
        if (!vpn && !(includeLocal && local)) continue;
        if (entry.address.empty()) continue;  // the system could not print it
        if (!isPrivate(entry.address)) continue;
        if (std::find(result.begin(), result.end(), entry.address) != result.end()) continue;
        result.push_back(entry.address);
    }
    std::stable_sort(result.begin(), result.end(), [](const std::string& a, const std::string& b) {
        return isTailscale(a) && !isTailscale(b);
    });
    return result;
}

bool PrivateNetwork::isPrivate(std::string_view address) {
    auto numbers = readFourNumbers(address);
    if (!numbers) return false;
    const int64_t a = (*numbers)[0];
    const int64_t b = (*numbers)[1];
    return a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) ||
           inTailscaleRange(a, b);
}

bool PrivateNetwork::isTailscale(std::string_view address) {
    auto numbers = readFourNumbers(address);
    return numbers && inTailscaleRange((*numbers)[0], (*numbers)[1]);
}

}  // namespace caldrovex
