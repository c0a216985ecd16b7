#include "latency_bench/RunReport.h"

#include <filesystem>
#include <fstream>

namespace caldrovex::bench {

namespace {

Spread spreadOf(const std::vector<double>& seconds) {
    return {1000 * percentile(seconds, 0.5), 1000 * percentile(seconds, 0.95)};
}

}  // namespace

void RunReport::summarise(const std::vector<DrawnChange>& drawn, const std::vector<FrameRecord>& frames,
                          double from, double until, int tolerance) {
    MatchResult match = matchChanges(drawn, frames, tolerance);
    samples = match.samples;
    changes = static_cast<int>(drawn.size());
    missed = match.missed;
    std::vector<double> totals, received, decode;
    for (const auto& sample : samples) {
        totals.push_back(sample.decoded);
        received.push_back(sample.received);
        decode.push_back(sample.decoded - sample.received);
    }
    total = spreadOf(totals);
    toReceived = spreadOf(received);
    decoding = spreadOf(decode);
    int64_t bytes = 0;
    int pictures = 0;
    for (const auto& frame : frames) {
        width = frame.width;
        height = frame.height;
        if (frame.decodedAt < from || frame.decodedAt > until) continue;
        bytes += frame.bytes;
        ++pictures;
    }
    picturesPerSecond = pictures / (until - from);
    megabitsPerSecond = 8e-6 * static_cast<double>(bytes) / (until - from);
}

void printTable(const std::vector<RunReport>& reports, FILE* out) {
    std::fprintf(out, "%-7s %4s %9s %16s %16s %16s %16s %14s %10s %6s %9s\n", "source", "fps", "matched",
                 "e2e med/p95 ms", "recv med/p95", "decode med/p95", "CPU % mean/peak", "RSS MB med/pk",
                 "size", "pic/s", "Mbit/s");
    for (const auto& r : reports) {
        if (!r.failure.empty()) {
            std::fprintf(out, "%-7s %4d  not measured: %s\n", r.name.c_str(), r.fps, r.failure.c_str());
            continue;
        }
        std::fprintf(out, "%-7s %4d %5zu/%-3d %7.1f/%-8.1f %7.1f/%-8.1f %7.1f/%-8.1f %7.1f/%-8.1f %6.0f/%-7.0f %4dx%-5d %6.1f %9.2f\n",
                     r.name.c_str(), r.fps, r.samples.size(), r.changes, r.total.median, r.total.p95,
                     r.toReceived.median, r.toReceived.p95, r.decoding.median, r.decoding.p95, r.resources.cpuMean,
                     r.resources.cpuPeak, r.resources.rssMedian, r.resources.rssPeak, r.width, r.height,
                     r.picturesPerSecond, r.megabitsPerSecond);
    }
}

void writeCsv(const std::vector<RunReport>& reports, const std::string& path) {
    std::ofstream summary(path);
    summary << "source,fps,changes,matched,missed,e2e_median_ms,e2e_p95_ms,received_median_ms,received_p95_ms,"
               "decode_median_ms,decode_p95_ms,cpu_mean_pct,cpu_peak_pct,rss_median_mb,rss_peak_mb,width,height,"
               "pictures_per_s,mbit_per_s,failure\n";
    for (const auto& r : reports) {
        summary << r.name << ',' << r.fps << ',' << r.changes << ',' << r.samples.size() << ',' << r.missed << ','
                << r.total.median << ',' << r.total.p95 << ',' << r.toReceived.median << ',' << r.toReceived.p95
                << ',' << r.decoding.median << ',' << r.decoding.p95 << ',' << r.resources.cpuMean << ','
                << r.resources.cpuPeak << ',' << r.resources.rssMedian << ',' << r.resources.rssPeak << ','
                << r.width << ',' << r.height << ',' << r.picturesPerSecond << ',' << r.megabitsPerSecond << ",\""
                << r.failure << "\"\n";
    }
    std::filesystem::path samplesPath(path);
    samplesPath.replace_filename(samplesPath.stem().string() + "_samples.csv");
    std::ofstream rows(samplesPath);
    rows << "source,fps,change,received_ms,decoded_ms\n";
    for (const auto& r : reports) {
        for (const auto& s : r.samples) {
            rows << r.name << ',' << r.fps << ',' << s.change << ',' << 1000 * s.received << ','
                 << 1000 * s.decoded << '\n';
        }
    }
}

}  // namespace caldrovex::bench
