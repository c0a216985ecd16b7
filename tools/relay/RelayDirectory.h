#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace caldrovex::relay {

// Which host links wait under which rendezvous value. A host registers host keys; the relay
// files each link under rendezvous(key), the value its devices present, so the relay never
// needs to know which host is which and a device can only reach a link whose key yields its
// value. The oldest waiting link of a value is paired first.
//
// It also remembers, for a while, the values that hosts registered lately: a device that
// arrives while all of a host's links are busy (one just paired, its replacement still on
// its way) is held for the next link instead of being told the host is offline.
//
// Pure bookkeeping on the times it is given; the relay service's queue only.
class RelayDirectory {
public:
    // How long a registered value counts as held by some host after it was last registered.
    static constexpr double kMemorySeconds = 60;

    void add(uint64_t link, const std::vector<std::string>& rendezvous, double now);
    void remove(uint64_t link);
    // The oldest link waiting under `rendezvous`, taken out from under all its values.
    std::optional<uint64_t> take(const std::string& rendezvous);
    // Whether some host registered `rendezvous` within kMemorySeconds before `now`.
    bool known(const std::string& rendezvous, double now) const;
    // Forgets values not registered within kMemorySeconds before `now`.
    void forget(double now);

    size_t links() const { return valuesOf_.size(); }

private:
    std::unordered_map<std::string, std::deque<uint64_t>> waiting_;
    std::unordered_map<uint64_t, std::vector<std::string>> valuesOf_;
    std::unordered_map<std::string, double> lastSeen_;
};

}  // namespace caldrovex::relay
