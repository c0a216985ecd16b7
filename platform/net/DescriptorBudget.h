#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>

namespace caldrovex::platform::net {

// How many file descriptors listeners may still take for accepted connections, so that a
// flood of connections can never take the last ones the rest of the process needs (its X
// connections, the keyring, a relay link, the files it writes).
//
// A reading gives the process's limit and the descriptors open now; a reserve of the limit
// (an eighth, at least 64) stays untouched. Reading means listing the open descriptors, so it
// is not done for every accept: half of what lies above the reserve may be taken before the
// next reading (descriptors others open meanwhile come out of the other half), and closes are
// only seen at that next reading. Once nothing is left, each `take` reads again, so accepting
// resumes as soon as connections have closed.
//
// Thread-safe: the listeners of one process share `process()`.
class DescriptorBudget {
public:
    struct Reading {
        size_t limit = 0;  // the soft limit on open descriptors
        size_t open = 0;   // descriptors open now
    };
    // A reading, or nullopt when the system cannot give one (then the budget does not limit).
    using Probe = std::function<std::optional<Reading>()>;

    // Descriptors kept for the rest of the process: this share of the limit, at least
    // kMinReserve.
    static constexpr size_t kReserveShare = 8;
    static constexpr size_t kMinReserve = 64;

    explicit DescriptorBudget(Probe probe);

    // The budget of this process: RLIMIT_NOFILE and the entries of /proc/self/fd.
    static DescriptorBudget& process();
    // The reading `process()` uses.
    static std::optional<Reading> readProcess();

    // Takes one descriptor for a connection about to be accepted; false when the budget is
    // spent.
    bool take();
    // Returns one taken descriptor that was not used (the accept failed).
    void giveBack();
    // Forgets what is left, so that the next `take` reads again (after the system refused a
    // descriptor the budget had allowed).
    void invalidate();

private:
    Probe probe_;
    std::mutex mutex_;
    size_t spare_ = 0;  // guarded by mutex_: descriptors that may be taken before reading again
};

}  // namespace caldrovex::platform::net
