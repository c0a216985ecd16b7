#include "latency_bench/RunReport.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace caldrovex::bench {

Spread RunReport::spread(const std::vector<double>& seconds) {
    return {1000 * percentile(seconds, 0.5), 1000 * percentile(seconds, 0.95)};
}

void RunReport::fail(const std::string& reason) {
    if (failure.empty()) failure = reason;
}

void RunReport::add(const Round& round, int tolerance) {
    const MatchResult match = matchChanges(round.changes, round.frames, tolerance);
    for (const auto& sample : match.samples) {
        samples.push_back({rounds_, sample});
        totals_.push_back(sample.decoded);
        received_.push_back(sample.received);
        decodes_.push_back(sample.decoded - sample.received);
    }
    changes += static_cast<int>(round.changes.size());
    missed += match.missed;
    for (const auto& change : round.changes)
        confirmations.push_back(change.drawnAt - change.sentAt);
    splitStages(round, match.samples);

    if (round.resources && round.resources->wallSeconds > 0) {
        cpuSeconds_ += round.resources->cpuSeconds;
        wallSeconds_ += round.resources->wallSeconds;
        cpuPeak_ = std::max(cpuPeak_, round.resources->cpuPeak);
        rssMedians_.push_back(round.resources->rssMedian);
        rssPeak_ = std::max(rssPeak_, round.resources->rssPeak);
    }
    for (const auto& frame : round.frames) {
        width = frame.width;
        height = frame.height;
        if (frame.decodedAt < round.from || frame.decodedAt > round.until) continue;
        bytes_ += frame.bytes;
        ++pictures_;
    }
    windowSeconds_ += round.until - round.from;
    ++rounds_;
}

void RunReport::splitStages(const Round& round, const std::vector<LatencySample>& matched) {
    for (const auto& sample : matched) {
        const DrawnChange& change = round.changes[sample.change];
        // The capture may notice the change before the painter's thread has woken from XSync,
        // but never before the change was sent to the X server.
        auto capture =
            std::find_if(round.captures.begin(), round.captures.end(),
                         [&](const CaptureStamp& c) { return c.takenAt >= change.sentAt; });
        if (capture == round.captures.end()) continue;
        wakes_.push_back(capture->takenAt - change.drawnAt);
        grabs_.push_back(capture->handedOverAt - capture->takenAt);
        encodes_.push_back(change.drawnAt + sample.received - capture->handedOverAt);
    }
}

double RunReport::rssMedian() const {
    return percentile(rssMedians_, 0.5);
}

void printTable(const std::vector<RunReport>& reports, FILE* out) {
    std::fprintf(out, "%-9s %4s %9s %16s %16s %16s %16s %14s %10s %6s %9s\n", "source", "fps",
                 "matched", "e2e med/p95 ms", "recv med/p95", "decode med/p95", "CPU % mean/peak",
                 "RSS MB med/pk", "size", "pic/s", "Mbit/s");
    std::vector<double> confirmations;
    for (const auto& r : reports) {
        confirmations.insert(confirmations.end(), r.confirmations.begin(), r.confirmations.end());
        if (!r.failure.empty() && r.samples.empty()) {
            std::fprintf(out, "%-9s %4d  not measured: %s\n", r.name.c_str(), r.fps,
                         r.failure.c_str());
            continue;
        }
        const Spread total = r.total(), received = r.toReceived(), decoding = r.decoding();
        char resources[64] = "      -/-              -/-      ";
        if (r.measuredResources()) {
            std::snprintf(resources, sizeof resources, "%7.1f/%-8.1f %6.0f/%-7.0f", r.cpuMean(),
                          r.cpuPeak(), r.rssMedian(), r.rssPeak());
        }
        std::fprintf(
            out,
            "%-9s %4d %5zu/%-3d %7.1f/%-8.1f %7.1f/%-8.1f %7.1f/%-8.1f %s %4dx%-5d %6.1f %9.2f\n",
            r.name.c_str(), r.fps, r.samples.size(), r.changes, total.median, total.p95,
            received.median, received.p95, decoding.median, decoding.p95, resources, r.width,
            r.height, r.picturesPerSecond(), r.megabitsPerSecond());
        if (!r.failure.empty())
            std::fprintf(out, "%-9s %4d  (a round failed: %s)\n", "", r.fps, r.failure.c_str());
    }
    const Spread confirmation{1000 * percentile(confirmations, 0.5),
                              1000 * percentile(confirmations, 0.95)};
    std::fprintf(
        out,
        "changes are timed from XSync's return; the X server drew them at most %.1f ms (median) / "
        "%.1f ms (p95) earlier\n",
        confirmation.median, confirmation.p95);
    if (std::none_of(reports.begin(), reports.end(), [](const RunReport& r) { return r.staged(); }))
        return;
    std::fprintf(out,
                 "\nhost stages, in-process (med/p95 ms): drawn -> picture taken -> handed to the "
                 "pipeline -> encoded -> decoded\n");
    std::fprintf(out, "%-9s %4s %16s %16s %16s %16s\n", "source", "fps", "wake", "grab+convert",
                 "queue+encode", "decode");
    for (const auto& r : reports) {
        if (!r.staged()) continue;
        const Spread wake = r.wake(), grab = r.grab(), encode = r.encode(), decoding = r.decoding();
        std::fprintf(out, "%-9s %4d %7.1f/%-8.1f %7.1f/%-8.1f %7.1f/%-8.1f %7.1f/%-8.1f\n",
                     r.name.c_str(), r.fps, wake.median, wake.p95, grab.median, grab.p95,
                     encode.median, encode.p95, decoding.median, decoding.p95);
    }
}

void writeCsv(const std::vector<RunReport>& reports, const std::string& path) {
    std::ofstream summary(path);
    summary << "source,fps,changes,matched,missed,e2e_median_ms,e2e_p95_ms,received_median_ms,"
               "received_p95_ms,"
               "decode_median_ms,decode_p95_ms,cpu_mean_pct,cpu_peak_pct,rss_median_mb,rss_peak_mb,"
               "width,height,"
               "pictures_per_s,mbit_per_s,wake_median_ms,wake_p95_ms,grab_median_ms,grab_p95_ms,"
               "encode_median_ms,"
               "encode_p95_ms,failure\n";
    for (const auto& r : reports) {
        const Spread total = r.total(), received = r.toReceived(), decoding = r.decoding();
        const Spread wake = r.wake(), grab = r.grab(), encode = r.encode();
        summary << r.name << ',' << r.fps << ',' << r.changes << ',' << r.samples.size() << ','
                << r.missed << ',' << total.median << ',' << total.p95 << ',' << received.median
                << ',' << received.p95 << ',' << decoding.median << ',' << decoding.p95 << ','
                << r.cpuMean() << ',' << r.cpuPeak() << ',' << r.rssMedian() << ',' << r.rssPeak()
                << ',' << r.width << ',' << r.height << ',' << r.picturesPerSecond() << ','
                << r.megabitsPerSecond() << ',' << wake.median << ',' << wake.p95 << ','
                << grab.median << ',' << grab.p95 << ',' << encode.median << ',' << encode.p95
                << ",\"" << r.failure << "\"\n";
    }
    std::filesystem::path samplesPath(path);
    samplesPath.replace_filename(samplesPath.stem().string() + "_samples.csv");
    std::ofstream rows(samplesPath);
    rows << "source,fps,round,change,received_ms,decoded_ms\n";
    for (const auto& r : reports) {
        for (const auto& s : r.samples) {
            rows << r.name << ',' << r.fps << ',' << s.round << ',' << s.latency.change << ','
                 << 1000 * s.latency.received << ',' << 1000 * s.latency.decoded << '\n';
        }
    }
}

}  // namespace caldrovex::bench
