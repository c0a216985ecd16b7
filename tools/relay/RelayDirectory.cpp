#include "tools/relay/RelayDirectory.h"

#include <algorithm>

namespace caldrovex::relay {

void RelayDirectory::add(uint64_t link, const std::vector<std::string>& rendezvous, double now) {
    auto& values = valuesOf_[link];
    for (const auto& value : rendezvous) {
        // A host may list a key twice; it is filed once.
        if (std::find(values.begin(), values.end(), value) != values.end()) continue;
        values.push_back(value);
        waiting_[value].push_back(link);
        lastSeen_[value] = now;
    }
}

void RelayDirectory::remove(uint64_t link) {
    const auto found = valuesOf_.find(link);
    if (found == valuesOf_.end()) return;
    for (const auto& value : found->second) {
        auto entry = waiting_.find(value);
        if (entry == waiting_.end()) continue;
        auto& links = entry->second;
        links.erase(std::remove(links.begin(), links.end(), link), links.end());
        if (links.empty()) waiting_.erase(entry);
    }
    valuesOf_.erase(found);
}

std::optional<uint64_t> RelayDirectory::take(const std::string& rendezvous) {
    const auto entry = waiting_.find(rendezvous);
    if (entry == waiting_.end()) return std::nullopt;
    const uint64_t link = entry->second.front();
    remove(link);
    return link;
}

bool RelayDirectory::known(const std::string& rendezvous, double now) const {
    const auto seen = lastSeen_.find(rendezvous);
    return seen != lastSeen_.end() && now - seen->second <= kMemorySeconds;
}

void RelayDirectory::forget(double now) {
    std::erase_if(lastSeen_, [&](const auto& entry) {
        return now - entry.second > kMemorySeconds && !waiting_.count(entry.first);
    });
}

}  // namespace caldrovex::relay
