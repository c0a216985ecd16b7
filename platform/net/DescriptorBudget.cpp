#include "platform/net/DescriptorBudget.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace caldrovex::platform::net {

DescriptorBudget::DescriptorBudget(Probe probe) : probe_(std::move(probe)) {}

DescriptorBudget& DescriptorBudget::process() {
    // Never destroyed: listeners may still accept while the program exits.
    static auto* budget = new DescriptorBudget(&DescriptorBudget::readProcess);
    return *budget;
}

std::optional<DescriptorBudget::Reading> DescriptorBudget::readProcess() {
    rlimit limits{};
    if (::getrlimit(RLIMIT_NOFILE, &limits) != 0) return std::nullopt;
    Reading reading;
    reading.limit = limits.rlim_cur == RLIM_INFINITY ? std::numeric_limits<size_t>::max()
                                                     : static_cast<size_t>(limits.rlim_cur);
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder) {
        // Listing needs a descriptor of its own: none left means the budget is spent.
        if (errno == EMFILE || errno == ENFILE) return Reading{reading.limit, reading.limit};
        return std::nullopt;
    }
    size_t entries = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') ++entries;
    }
    ::closedir(folder);
    // The listing's own descriptor was among the entries.
    reading.open = entries > 0 ? entries - 1 : 0;
    return reading;
}

bool DescriptorBudget::take() {
    std::lock_guard lock(mutex_);
    if (spare_ == 0) {
        auto reading = probe_();
        if (!reading) return true;
        const size_t reserve = std::max(kMinReserve, reading->limit / kReserveShare);
        const size_t free = reading->limit > reading->open ? reading->limit - reading->open : 0;
        const size_t above = free > reserve ? free - reserve : 0;
        spare_ = (above + 1) / 2;
        if (spare_ == 0) return false;
    }
    --spare_;
    return true;
}

void DescriptorBudget::giveBack() {
    std::lock_guard lock(mutex_);
    ++spare_;
}

void DescriptorBudget::invalidate() {
    std::lock_guard lock(mutex_);
    spare_ = 0;
}

}  // namespace caldrovex::platform::net
