#include "latency_bench/ResourceSampler.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "latency_bench/LatencyMatch.h"
#include "latency_bench/MonotonicTime.h"

namespace caldrovex::bench {

ResourceSampler::ResourceSampler(pid_t pid) : pid_(pid) {}

ResourceSampler::~ResourceSampler() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

std::optional<ResourceSampler::Sample> ResourceSampler::sample() const {
    const std::string base = "/proc/" + std::to_string(pid_);
    std::ifstream statFile(base + "/stat");
    std::string stat;
    if (!std::getline(statFile, stat)) return std::nullopt;
    // The command name may hold spaces and parentheses: fields are counted after its end.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14 || index == 15) ticks += std::stod(field);
    }
    Sample result;
    result.at = monotonicNow();
    result.cpuSeconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) result.rssMiB = std::stod(line.substr(6)) / 1024.0;
    }
    return result;
}

void ResourceSampler::start() {
    {
        std::lock_guard guard(mutex_);
        samples_.clear();
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void ResourceSampler::run() {
    while (running_) {
        if (auto s = sample()) {
            std::lock_guard guard(mutex_);
            samples_.push_back(*s);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(kInterval));
    }
}

ResourceUse ResourceSampler::stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    std::lock_guard guard(mutex_);
    ResourceUse use;
    if (samples_.size() < 2) return use;
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    use.cpuSeconds = last.cpuSeconds - first.cpuSeconds;
    use.wallSeconds = last.at - first.at;
    use.cpuMean = 100.0 * use.cpuSeconds / use.wallSeconds;
    std::vector<double> rss;
    // Peaks over spans of at least a second: one 0.25 s interval is too coarse for the
    // kernel's 100 Hz accounting.
    for (size_t i = 0, j = 0; i < samples_.size(); ++i) {
        rss.push_back(samples_[i].rssMiB);
        while (j + 1 < i && samples_[i].at - samples_[j + 1].at >= 1.0) ++j;
        if (samples_[i].at - samples_[j].at >= 1.0) {
            use.cpuPeak =
                std::max(use.cpuPeak, 100.0 * (samples_[i].cpuSeconds - samples_[j].cpuSeconds) /
                                          (samples_[i].at - samples_[j].at));
        }
    }
    use.rssMedian = percentile(rss, 0.5);
    use.rssPeak = *std::max_element(rss.begin(), rss.end());
    return use;
}

}  // namespace caldrovex::bench
