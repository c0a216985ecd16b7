// Runs the video pacer over a simulated bottleneck for a set of network scenarios and
// prints how well each sending regime uses the link and how much queueing delay it causes.
//
//   pacer_sim [--out DIR] [--seed N]
//
// Writes DIR/pacer_sim.csv and one DIR/pacer_sim_<scenario>.png per scenario
// (default DIR: ./pacer_sim_out).
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "pacer_sim/Plot.h"
#include "pacer_sim/Scenario.h"

using namespace caldrovex::bench;

namespace {

std::vector<Scenario> scenarios() {
    return {
        {"steady-20M-20ms", 20e6, 0.020, 0, {}},
        {"steady-3M-60ms", 3e6, 0.060, 0, {}},
        {"steady-1M-150ms", 1e6, 0.150, 0, {}},
        {"step-20M-4M-20M-40ms", 20e6, 0.040, 0, {{20, 4e6}, {40, 20e6}}},
        {"jitter-10M-0-30ms", 10e6, 0.020, 0.030, {}},
    };
}

std::string settleText(const RunResult& r) {
    if (r.settleAfterSteps.empty()) return "-";
    std::string text;
    for (double s : r.settleAfterSteps) {
        char buffer[32];
        if (s < 0) {
            std::snprintf(buffer, sizeof buffer, "never");
        } else {
            std::snprintf(buffer, sizeof buffer, "%.1fs", s);
        }
        text += (text.empty() ? "" : "/") + std::string(buffer);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out = "pacer_sim_out";
    uint64_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--out") {
            out = argv[i + 1];
        } else if (flag == "--seed") {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: pacer_sim [--out DIR] [--seed N]\n");
            return 2;
        }
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    std::filesystem::create_directories(out);

    std::printf("pacer_sim: 60 simulated seconds per run, 30 fps, max 6 Mbit/s, seed %llu\n",
                static_cast<unsigned long long>(seed));
    std::printf("%-22s %-15s %6s %6s %9s %9s %9s %12s\n", "scenario", "regime", "util", "fps",
                "q-med ms", "q-p95 ms", "target M", "settle");
    std::ofstream csv(out + "/pacer_sim.csv");
    csv << "scenario,regime,utilization,delivered_fps,queue_delay_median_ms,"
           "queue_delay_p95_ms,target_median_bps,settle_after_steps_s\n";
    for (const auto& scenario : scenarios()) {
        std::vector<RunResult> runs;
        for (Regime regime : {Regime::acknowledged, Regime::unacknowledged, Regime::fixed}) {
            RunResult r = runScenario(scenario, regime, seed);
            std::printf("%-22s %-15s %5.0f%% %6.1f %9.1f %9.1f %9.2f %12s\n", r.scenario.c_str(),
                        regimeName(regime), r.utilization * 100, r.deliveredFps, r.delayMedianMs,
                        r.delayP95Ms, r.targetMedian / 1e6, settleText(r).c_str());
            csv << r.scenario << ',' << regimeName(regime) << ',' << r.utilization << ','
                << r.deliveredFps << ',' << r.delayMedianMs << ',' << r.delayP95Ms << ','
                << r.targetMedian << ',' << settleText(r) << '\n';
            runs.push_back(std::move(r));
        }
        std::string png = out + "/pacer_sim_" + scenario.name + ".png";
        if (!plotScenario(png, scenario.name, runs)) {
            std::fprintf(stderr, "pacer_sim: could not write %s\n", png.c_str());
            return 1;
        }
    }
    std::printf("wrote %s/pacer_sim.csv and one PNG per scenario\n", out.c_str());
    return 0;
}
