#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "latency_bench/ChangePainter.h"
#include "latency_bench/FrameLog.h"
#include "latency_bench/LatencyMatch.h"
#include "latency_bench/PipelineSource.h"
#include "latency_bench/ResourceSampler.h"

namespace caldrovex::bench {

// Median and 95th percentile, in milliseconds.
struct Spread {
    double median = 0;
    double p95 = 0;
};

// What one round of one configuration recorded: the changes drawn, the pictures decoded, the
// measuring window (`from`..`until`), the sender's resource use, and the capture's stamps
// when it was in-process. For the host's sources also the change drawn as soon as the
// stream was announced, and the changes drawn after a warm resume (announced at
// `resumedAt`).
struct Round {
    std::vector<DrawnChange> changes;
    std::vector<FrameRecord> frames;
    double from = 0;
    double until = 0;
    std::optional<ResourceUse> resources;
    std::vector<CaptureStamp> captures;
    std::optional<DrawnChange> first;
    std::vector<DrawnChange> resumed;
    double resumedAt = 0;
};

// What one configuration (a scenario, a source, a frame rate) measured over all its rounds.
class RunReport {
public:
    RunReport(std::string scenario, std::string name, int fps)
        : scenario(std::move(scenario)), name(std::move(name)), fps(fps) {}

    // Matches the round's changes with its pictures and adds the samples.
    void add(const Round& round, int tolerance);
    // A round that could not run; the configuration reports the first reason.
    void fail(const std::string& reason);

    const std::string scenario;
    const std::string name;
    const int fps;
    std::string failure;

    struct Sample {
        int round = 0;
        LatencySample latency;
    };
    std::vector<Sample> samples;
    int changes = 0;
    int missed = 0;

    // Drawn → decoded, drawn → received, received → decoded.
    Spread total() const { return spread(totals_); }
    Spread toReceived() const { return spread(received_); }
    Spread decoding() const { return spread(decodes_); }
    // The host's own stages when the capture was stamped (the in-process pipeline): noticing
    // the change and deciding to take a picture, grab and conversion, pipeline and encoder.
    bool staged() const { return !wakes_.empty(); }
    Spread wake() const { return spread(wakes_); }
    Spread grab() const { return spread(grabs_); }
    Spread encode() const { return spread(encodes_); }

    // Drawn → decoded for the change drawn the moment a fresh stream was announced (one per
    // round; a miss counts as never), and for the first changes after a warm resume.
    bool measuredStarts() const { return !firsts_.empty(); }
    const std::vector<double>& firsts() const { return firsts_; }
    Spread resumed() const { return spread(resumed_); }
    double resumedMax() const;

    // The sender's CPU (% of one core) over all windows, its busiest second; RSS in MiB.
    bool measuredResources() const { return wallSeconds_ > 0; }
    double cpuMean() const { return wallSeconds_ > 0 ? 100 * cpuSeconds_ / wallSeconds_ : 0; }
    double cpuPeak() const { return cpuPeak_; }
    double rssMedian() const;
    double rssPeak() const { return rssPeak_; }
    // Over the measuring windows: pictures decoded per second and the stream's bitrate.
    double picturesPerSecond() const { return windowSeconds_ > 0 ? pictures_ / windowSeconds_ : 0; }
    double megabitsPerSecond() const {
        return windowSeconds_ > 0 ? 8e-6 * double(bytes_) / windowSeconds_ : 0;
    }
    int width = 0;
    int height = 0;
    // How long the X server took to confirm each change (drawnAt − sentAt), in seconds.
    std::vector<double> confirmations;

private:
    static Spread spread(const std::vector<double>& seconds);
    void splitStages(const Round& round, const std::vector<LatencySample>& samples);

    int rounds_ = 0;
    std::vector<double> totals_, received_, decodes_, wakes_, grabs_, encodes_;
    std::vector<double> firsts_, resumed_;
    double cpuSeconds_ = 0;
    double wallSeconds_ = 0;
    double cpuPeak_ = 0;
    std::vector<double> rssMedians_;
    double rssPeak_ = 0;
    double windowSeconds_ = 0;
    int64_t bytes_ = 0;
    int pictures_ = 0;
};

void printTable(const std::vector<RunReport>& reports, FILE* out);
// One row per configuration in `path`, every sample in its stem + "_samples.csv".
void writeCsv(const std::vector<RunReport>& reports, const std::string& path);

}  // namespace caldrovex::bench
