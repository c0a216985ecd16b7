#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "latency_bench/ChangePainter.h"
#include "latency_bench/FrameLog.h"
#include "latency_bench/LatencyMatch.h"
#include "latency_bench/ResourceSampler.h"

namespace caldrovex::bench {

// Median and 95th percentile, in milliseconds.
struct Spread {
    double median = 0;
    double p95 = 0;
};

// What one configuration (a source at a frame rate) measured.
struct RunReport {
    std::string name;
    int fps = 0;
    // Why the configuration has no figures; empty when it ran.
    std::string failure;
    ResourceUse resources;

    std::vector<LatencySample> samples;
    int changes = 0;
    int missed = 0;
    // Drawn → decoded, drawn → received, received → decoded.
    Spread total;
    Spread toReceived;
    Spread decoding;
    // Over the measuring window: pictures decoded per second and the stream's bitrate.
    double picturesPerSecond = 0;
    double megabitsPerSecond = 0;
    int width = 0;
    int height = 0;

    // Matches the changes with the pictures; `from`..`until` is the measuring window.
    void summarise(const std::vector<DrawnChange>& drawn, const std::vector<FrameRecord>& frames, double from,
                   double until, int tolerance);
};

void printTable(const std::vector<RunReport>& reports, FILE* out);
// One row per configuration in `path`, every sample in its stem + "_samples.csv".
void writeCsv(const std::vector<RunReport>& reports, const std::string& path);

}  // namespace caldrovex::bench
