#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace caldrovex::bench {

// What one process used over a window.
struct ResourceUse {
    // CPU time over wall time, in percent of one core, over the whole window.
    double cpuMean = 0;
    // The busiest sampling interval.
    double cpuPeak = 0;
    // Resident set size in MiB.
    double rssMedian = 0;
    double rssPeak = 0;
    // CPU seconds used and wall seconds watched, to combine windows.
    double cpuSeconds = 0;
    double wallSeconds = 0;
};

// Samples a process's CPU time (utime + stime of /proc/PID/stat) and resident size (VmRSS of
// /proc/PID/status) on a thread of its own, from `start` until `stop`.
class ResourceSampler {
public:
    // Seconds between two samples: short enough for a peak, long enough for clock ticks.
    static constexpr double kInterval = 0.25;

    explicit ResourceSampler(pid_t pid);
    ~ResourceSampler();
    ResourceSampler(const ResourceSampler&) = delete;
    ResourceSampler& operator=(const ResourceSampler&) = delete;

    void start();
    ResourceUse stop();

private:
    struct Sample {
        double at = 0;
        double cpuSeconds = 0;
        double rssMiB = 0;
    };
    std::optional<Sample> sample() const;
    void run();

    const pid_t pid_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Sample> samples_;  // guarded by mutex_
};

}  // namespace caldrovex::bench
