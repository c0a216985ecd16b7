#include "latency_bench/RunReport.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>

namespace caldrovex::bench {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

// The first picture showing `change`, among the frames decoded after `after`, in seconds
// from the drawing; nullopt when none did.
std::optional<double> latencyOf(const DrawnChange& change, const std::vector<FrameRecord>& frames,
                                double after, int tolerance) {
    std::vector<FrameRecord> later;
    for (const auto& frame : frames) {
        if (frame.decodedAt > after) later.push_back(frame);
    }
    const MatchResult match = matchChanges({change}, later, tolerance);
    if (match.samples.empty()) return std::nullopt;
    return match.samples.front().decoded;
}

const RunReport* find(const std::vector<RunReport>& reports, const RunReport& like,
                      const std::string& name) {
    for (const auto& r : reports) {
        if (r.scenario == like.scenario && r.fps == like.fps && r.name == name &&
            !r.samples.empty())
            return &r;
    }
    return nullptr;
}

}  // namespace

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
    if (round.first) {
        firsts_.push_back(latencyOf(*round.first, round.frames, 0, tolerance).value_or(kNever));
    }
    for (const auto& change : round.resumed) {
        resumed_.push_back(
            latencyOf(change, round.frames, round.resumedAt, tolerance).value_or(kNever));
    }

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

double RunReport::resumedMax() const {
    return resumed_.empty() ? 0 : 1000 * *std::max_element(resumed_.begin(), resumed_.end());
}

void printTable(const std::vector<RunReport>& reports, FILE* out) {
    std::fprintf(out, "%-8s %-12s %4s %9s %14s %14s %12s %15s %13s %15s %14s %6s %7s\n", "scenario",
                 "source", "fps", "matched", "e2e med/p95", "recv med/p95", "decode med/p95",
                 "CPU % mean/peak", "RSS MB med/pk", "first ms", "resume med/max", "pic/s",
                 "Mbit/s");
    std::vector<double> confirmations;
    std::string scenario;
    for (const auto& r : reports) {
        confirmations.insert(confirmations.end(), r.confirmations.begin(), r.confirmations.end());
        if (!scenario.empty() && r.scenario != scenario) std::fprintf(out, "\n");
        scenario = r.scenario;
        if (!r.failure.empty() && r.samples.empty()) {
            std::fprintf(out, "%-8s %-12s %4d  not measured: %s\n", r.scenario.c_str(),
                         r.name.c_str(), r.fps, r.failure.c_str());
            continue;
        }
        const Spread total = r.total(), received = r.toReceived(), decoding = r.decoding();
        char resources[64] = "      -/-             -/-    ";
        if (r.measuredResources()) {
            std::snprintf(resources, sizeof resources, "%6.1f/%-8.1f %5.0f/%-7.0f", r.cpuMean(),
                          r.cpuPeak(), r.rssMedian(), r.rssPeak());
        }
        // Every round's first change, worst last: "12/15/31".
        std::string firsts = "-";
        if (r.measuredStarts()) {
            std::vector<double> sorted = r.firsts();
            std::sort(sorted.begin(), sorted.end());
            firsts.clear();
            for (double value : sorted) {
                if (!firsts.empty()) firsts += "/";
                firsts += std::isinf(value) ? "miss" : std::to_string(std::lround(1000 * value));
            }
        }
        char resumed[32] = "-";
        if (r.measuredStarts()) {
            std::snprintf(resumed, sizeof resumed, "%.1f/%.1f", r.resumed().median, r.resumedMax());
        }
        std::fprintf(out,
                     "%-8s %-12s %4d %5zu/%-3d %6.1f/%-7.1f %6.1f/%-7.1f %5.1f/%-6.1f %s %15s "
                     "%14s %6.1f %7.2f\n",
                     r.scenario.c_str(), r.name.c_str(), r.fps, r.samples.size(), r.changes,
                     total.median, total.p95, received.median, received.p95, decoding.median,
                     decoding.p95, resources, firsts.c_str(), resumed, r.picturesPerSecond(),
                     r.megabitsPerSecond());
        if (!r.failure.empty())
            std::fprintf(out, "%-8s %-12s %4d  (a round failed: %s)\n", "", "", r.fps,
                         r.failure.c_str());
    }
    const Spread confirmation{1000 * percentile(confirmations, 0.5),
                              1000 * percentile(confirmations, 0.95)};
    std::fprintf(
        out,
        "pictures 1920x1080; changes are timed from the display's confirmation (XSync's return, "
        "or the Wayland compositor's answer to the commit), sent at most %.1f ms (median) / "
        "%.1f ms (p95) earlier\n",
        confirmation.median, confirmation.p95);

    std::fprintf(out, "\nagainst ffmpeg in the same run (e2e median ratio, p95 ratio)\n");
    for (const auto& r : reports) {
        if (r.name == "ffmpeg" || r.name == "pipeline" || r.samples.empty()) continue;
        const RunReport* ffmpeg = find(reports, r, "ffmpeg");
        if (ffmpeg == nullptr) continue;
        const Spread mine = r.total(), theirs = ffmpeg->total();
        std::fprintf(out, "%-8s %-12s %4d  %5.2f  %5.2f\n", r.scenario.c_str(), r.name.c_str(),
                     r.fps, mine.median / theirs.median, mine.p95 / theirs.p95);
    }

    if (std::none_of(reports.begin(), reports.end(), [](const RunReport& r) { return r.staged(); }))
        return;
    std::fprintf(out,
                 "\nhost stages, in-process (med/p95 ms): drawn -> picture taken -> handed to the "
                 "pipeline -> encoded -> decoded\n");
    std::fprintf(out, "%-8s %-12s %4s %14s %14s %14s %14s\n", "scenario", "source", "fps", "wake",
                 "grab+convert", "queue+encode", "decode");
    for (const auto& r : reports) {
        if (!r.staged()) continue;
        const Spread wake = r.wake(), grab = r.grab(), encode = r.encode(), decoding = r.decoding();
        std::fprintf(out, "%-8s %-12s %4d %6.1f/%-7.1f %6.1f/%-7.1f %6.1f/%-7.1f %6.1f/%-7.1f\n",
                     r.scenario.c_str(), r.name.c_str(), r.fps, wake.median, wake.p95, grab.median,
                     grab.p95, encode.median, encode.p95, decoding.median, decoding.p95);
    }
}

void writeCsv(const std::vector<RunReport>& reports, const std::string& path) {
    std::ofstream summary(path);
    summary << "scenario,source,fps,changes,matched,missed,e2e_median_ms,e2e_p95_ms,"
               "received_median_ms,received_p95_ms,decode_median_ms,decode_p95_ms,cpu_mean_pct,"
               "cpu_peak_pct,rss_median_mb,rss_peak_mb,width,height,pictures_per_s,mbit_per_s,"
               "wake_median_ms,wake_p95_ms,grab_median_ms,grab_p95_ms,encode_median_ms,"
               "encode_p95_ms,first_max_ms,resumed_median_ms,resumed_max_ms,failure\n";
    for (const auto& r : reports) {
        const Spread total = r.total(), received = r.toReceived(), decoding = r.decoding();
        const Spread wake = r.wake(), grab = r.grab(), encode = r.encode();
        double firstMax = 0;
        for (double value : r.firsts()) firstMax = std::max(firstMax, 1000 * value);
        summary << r.scenario << ',' << r.name << ',' << r.fps << ',' << r.changes << ','
                << r.samples.size() << ',' << r.missed << ',' << total.median << ',' << total.p95
                << ',' << received.median << ',' << received.p95 << ',' << decoding.median << ','
                << decoding.p95 << ',' << r.cpuMean() << ',' << r.cpuPeak() << ',' << r.rssMedian()
                << ',' << r.rssPeak() << ',' << r.width << ',' << r.height << ','
                << r.picturesPerSecond() << ',' << r.megabitsPerSecond() << ',' << wake.median
                << ',' << wake.p95 << ',' << grab.median << ',' << grab.p95 << ',' << encode.median
                << ',' << encode.p95 << ',' << firstMax << ',' << r.resumed().median << ','
                << r.resumedMax() << ",\"" << r.failure << "\"\n";
    }
    std::filesystem::path samplesPath(path);
    samplesPath.replace_filename(samplesPath.stem().string() + "_samples.csv");
    std::ofstream rows(samplesPath);
    rows << "scenario,source,fps,round,change,received_ms,decoded_ms\n";
    for (const auto& r : reports) {
        for (const auto& s : r.samples) {
            rows << r.scenario << ',' << r.name << ',' << r.fps << ',' << s.round << ','
                 << s.latency.change << ',' << 1000 * s.latency.received << ','
                 << 1000 * s.latency.decoded << '\n';
        }
    }
}

}  // namespace caldrovex::bench
