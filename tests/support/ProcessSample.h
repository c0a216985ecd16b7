#pragma once

#include <sys/types.h>

#include <optional>

namespace caldrovex::test {

// What a process holds at one moment, read from /proc: resident memory, open file
// descriptors and threads. For the load and soak checks of the host.
struct ProcessSample {
    double rssMiB = 0;
    int descriptors = 0;
    int threads = 0;

    // The process's figures now; nullopt once it is gone.
    static std::optional<ProcessSample> of(pid_t pid);
};

}  // namespace caldrovex::test
