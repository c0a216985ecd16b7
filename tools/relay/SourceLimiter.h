#pragma once

#include <string>
#include <unordered_map>

namespace caldrovex::relay {

// How many new links one source address may open: a bucket per address that holds up to
// `burst` links and refills at `perMinute`. A host opens two links and replaces them as they
// are used, a device one per session, so honest sources stay far below the limit while one
// that floods the relay is cut off before its handshakes cost anything.
//
// Pure bookkeeping on the times it is given; not thread-safe (the relay service's queue).
class SourceLimiter {
public:
    // Buckets kept at most before full ones are dropped (a full bucket is the same as none).
    static constexpr size_t kPruneAbove = 4096;

    SourceLimiter(double perMinute, double burst);

    // Takes one link from `source`'s bucket; false when it is empty.
    bool allow(const std::string& source, double now);

    size_t tracked() const { return buckets_.size(); }

private:
    struct Bucket {
        double tokens;
        double at;
    };
    double level(const Bucket& bucket, double now) const;

    double perSecond_;
    double burst_;
    std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace caldrovex::relay
