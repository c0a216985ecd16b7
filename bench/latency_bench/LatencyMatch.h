#pragma once

#include <vector>

#include "latency_bench/ChangePainter.h"
#include "latency_bench/FrameLog.h"

namespace caldrovex::bench {

// The way of one change to the screen of the receiver, in seconds from the moment it was drawn.
struct LatencySample {
    size_t change = 0;
    // Drawn → its access unit complete at the receiver (capture, encode, transport).
    double received = 0;
    // Drawn → its picture decoded (the end-to-end latency).
    double decoded = 0;
};

struct MatchResult {
    std::vector<LatencySample> samples;
    // Changes whose colour no decoded picture showed before the next change's did.
    int missed = 0;
};

// Pairs each change with the first picture decoded after it whose probe shows the change's
// colour: within `tolerance` in every channel and nearer to it than to the colour before.
// Both lists in time order.
MatchResult matchChanges(const std::vector<DrawnChange>& changes,
                         const std::vector<FrameRecord>& frames, int tolerance);

// The value below which `fraction` of `values` lie (nearest rank); 0 for none.
double percentile(std::vector<double> values, double fraction);

}  // namespace caldrovex::bench
