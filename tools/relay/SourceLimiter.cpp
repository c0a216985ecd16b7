#include "tools/relay/SourceLimiter.h"

#include <algorithm>

namespace caldrovex::relay {

SourceLimiter::SourceLimiter(double perMinute, double burst)
    : perSecond_(perMinute / 60), burst_(burst) {}

double SourceLimiter::level(const Bucket& bucket, double now) const {
    return std::min(burst_, bucket.tokens + (now - bucket.at) * perSecond_);
}

bool SourceLimiter::allow(const std::string& source, double now) {
    if (buckets_.size() > kPruneAbove) {
        std::erase_if(buckets_,
                      [&](const auto& entry) { return level(entry.second, now) >= burst_; });
    }
    auto entry = buckets_.try_emplace(source, Bucket{burst_, now}).first;
    Bucket& bucket = entry->second;
    bucket.tokens = level(bucket, now);
    bucket.at = now;
    if (bucket.tokens < 1) return false;
    bucket.tokens -= 1;
    return true;
}

}  // namespace caldrovex::relay
