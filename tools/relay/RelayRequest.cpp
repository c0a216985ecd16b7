#include "tools/relay/RelayRequest.h"

#include <algorithm>

namespace caldrovex::relay {

namespace {

bool isKey(std::string_view word) {
    return word.size() == 64 && std::all_of(word.begin(), word.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

}  // namespace

std::optional<RelayRequest> RelayRequest::parse(std::string_view line) {
    constexpr std::string_view prefix = "CALDROVEX/2 ";
    if (!line.starts_with(prefix)) return std::nullopt;
    line.remove_prefix(prefix.size());
    RelayRequest request;
    for (auto role : {RelayLink::Role::host, RelayLink::Role::device}) {
        const std::string word = std::string(RelayLink::roleText(role)) + " ";
        if (!line.starts_with(word)) continue;
        request.role = role;
        line.remove_prefix(word.size());
        while (request.keys.size() <= kMaxKeys) {
            const size_t space = line.find(' ');
            const std::string_view key = line.substr(0, space);
            if (!isKey(key)) return std::nullopt;
            request.keys.emplace_back(key);
            if (space == std::string_view::npos) break;
            line.remove_prefix(space + 1);
        }
        const size_t allowed = role == RelayLink::Role::device ? 1 : kMaxKeys;
        if (request.keys.size() > allowed) return std::nullopt;
        return request;
    }
    return std::nullopt;
}

}  // namespace caldrovex::relay
