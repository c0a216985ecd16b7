// End-to-end latency of a screen change: from the moment a change is drawn on the X screen
// to the moment the receiver has decoded a picture that shows it. Measured for the host (the
// real caldrovex-host, headless, streaming over TLS on loopback to caldrovex-device) and, in
// the same run, for stock ffmpeg (x11grab → libx264 ultrafast/zerolatency → a pipe → the same
// decoder), at 1920×1080 and each frame rate asked for. Also records the CPU time and
// resident memory of the sending process while it streams.
//
// The bench runs itself inside a D-Bus session of its own with a private gnome-keyring,
// private XDG folders and its own Xvfb, so one command does everything:
//
//   latency_bench [--samples N] [--fps 30,60] [--only host|ffmpeg] [--csv FILE]
//                 [--display :N] [--probe X,Y] [--seed N] [--bin DIR]
//
// Writes FILE (default latency_bench.csv) with one row per configuration, FILE's stem +
// "_samples.csv" with every latency sample, and the programs' error output into FILE's stem +
// "_logs/".

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "latency_bench/ChangePainter.h"
#include "latency_bench/FfmpegSource.h"
#include "latency_bench/HostSource.h"
#include "latency_bench/LatencyMatch.h"
#include "latency_bench/PrivateSession.h"
#include "latency_bench/ResourceSampler.h"
#include "latency_bench/RunReport.h"

using namespace caldrovex::bench;
namespace fs = std::filesystem;

namespace {

// Side of the square painted around the probe: large enough that the probe's neighbourhood
// is one flat colour after 4:2:0 subsampling and motion search, small enough to be a
// typical local change (a button, a few words).
constexpr int kSquare = 200;
// Changes come at random intervals in this range: never locked to a capture tick, and far
// enough apart that each one has arrived before the next is drawn.
constexpr double kMinGap = 0.3;
constexpr double kMaxGap = 0.5;
// Time for the encoder to settle after the first picture, and for the last change to arrive.
constexpr double kSettle = 1.0;
// A decoded probe within this many levels (each channel) of the drawn colour shows it; the
// colour steps between changes are at least 96 levels.
constexpr int kTolerance = 32;
constexpr std::chrono::milliseconds kFirstFrameWait{30'000};

struct Options {
    int samples = 45;
    std::vector<int> rates{30, 60};
    bool host = true;
    bool ffmpeg = true;
    std::string csv = "latency_bench.csv";
    std::optional<std::string> display;
    double probeX = 0.25;
    double probeY = 0.25;
    uint32_t seed = std::random_device{}();
    fs::path binaries;
};

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr,
                 "latency_bench: %s\n"
                 "usage: latency_bench [--samples N] [--fps 30,60] [--only host|ffmpeg] [--csv FILE]\n"
                 "                     [--display :N] [--probe X,Y] [--seed N] [--bin DIR]\n",
                 problem.c_str());
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options options;
    options.binaries = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin";
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) usage(name + " needs a value");
        const std::string value = argv[++i];
        try {
            if (name == "--samples") {
                options.samples = std::stoi(value);
            } else if (name == "--fps") {
                options.rates.clear();
                for (size_t at = 0; at < value.size();) {
                    size_t used = 0;
                    options.rates.push_back(std::stoi(value.substr(at), &used));
                    at += used + 1;
                }
            } else if (name == "--only") {
                if (value != "host" && value != "ffmpeg") usage("--only takes host or ffmpeg");
                options.host = value == "host";
                options.ffmpeg = value == "ffmpeg";
            } else if (name == "--csv") {
                options.csv = value;
            } else if (name == "--display") {
                options.display = value;
            } else if (name == "--probe") {
                size_t used = 0;
                options.probeX = std::stod(value, &used);
                options.probeY = std::stod(value.substr(used + 1));
            } else if (name == "--seed") {
                options.seed = static_cast<uint32_t>(std::stoul(value));
            } else if (name == "--bin") {
                options.binaries = value;
            } else {
                usage("unknown option " + name);
            }
        } catch (const std::logic_error&) {
            usage("bad value for " + name);
        }
    }
    if (options.samples < 5) usage("--samples must be at least 5");
    return options;
}

// One configuration from start to end: the source streams, the painter draws, the sampler
// watches the sending process, then the pictures are matched with the changes.
template <typename StartSource>
RunReport measure(const std::string& name, int fps, const Options& options, ChangePainter& painter,
                  StartSource startSource) {
    std::fprintf(stderr, "latency_bench: %s at %d fps...\n", name.c_str(), fps);
    RunReport report;
    report.name = name;
    report.fps = fps;
    painter.clear();
    FrameLog log;
    // Returns the sending process's pid, a function that ends the stream and one that tells
    // whether the receiving side still runs.
    auto [pid, stop, running] = startSource(log);
    const auto deadline = std::chrono::steady_clock::now() + kFirstFrameWait;
    while (!log.waitFor(1, std::chrono::milliseconds(250))) {
        if (!running() || std::chrono::steady_clock::now() > deadline) {
            stop();
            report.failure = "no picture arrived (see the logs)";
            return report;
        }
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettle));
    ResourceSampler sampler(pid);
    sampler.start();
    const double from = monotonicNow();
    const auto changes = painter.changes(options.samples, kMinGap, kMaxGap);
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettle));
    const double until = monotonicNow();
    report.resources = sampler.stop();
    stop();
    report.summarise(changes, log.frames(), from, until, kTolerance);
    return report;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    PrivateSession::enterBusSession(argc, argv);
    std::vector<RunReport> reports;
    try {
        const fs::path csv(options.csv);
        const fs::path logs = csv.parent_path() / (csv.stem().string() + "_logs");
        fs::remove_all(logs);
        fs::create_directories(logs);
        PrivateSession session(logs);
        if (options.display) {
            session.useXServer(*options.display);
        } else {
            session.startXServer();
        }
        std::fprintf(stderr, "latency_bench: display %s, seed %u, probe %.2f,%.2f, %d changes per run\n",
                     session.displayName().c_str(), options.seed, options.probeX, options.probeY, options.samples);
        ChangePainter painter(session.displayName(), options.probeX, options.probeY, kSquare, options.seed);

        std::unique_ptr<HostSource> host;
        std::string hostFailure;
        if (options.host) {
            try {
                host = std::make_unique<HostSource>(options.binaries, session.root(), logs);
            } catch (const std::runtime_error& error) {
                hostFailure = error.what();
                std::fprintf(stderr, "latency_bench: host path unavailable: %s\n", error.what());
            }
        }
        // The device streams a little longer than the painting needs; it is stopped earlier.
        const double streamSeconds = 2 * kSettle + options.samples * kMaxGap + 20;
        for (int fps : options.rates) {
            if (options.host && host) {
                std::unique_ptr<Subprocess> device;
                reports.push_back(measure("host", fps, options, painter, [&](FrameLog& log) {
                    device = host->stream(fps, streamSeconds, options.probeX, options.probeY, log);
                    return std::tuple{host->pid(), [&] { device->stop(SIGINT, std::chrono::milliseconds(3000)); },
                                      [&] { return !device->wait(std::chrono::milliseconds(0)); }};
                }));
            } else if (options.host) {
                RunReport report;
                report.name = "host";
                report.fps = fps;
                report.failure = hostFailure;
                reports.push_back(report);
            }
            if (options.ffmpeg) {
                std::unique_ptr<FfmpegSource> ffmpeg;
                reports.push_back(measure("ffmpeg", fps, options, painter, [&](FrameLog& log) {
                    ffmpeg = std::make_unique<FfmpegSource>(session.displayName(), fps, options.probeX, options.probeY,
                                                            (logs / "ffmpeg.log").string(), log);
                    return std::tuple{ffmpeg->pid(), [&] { ffmpeg->stop(); }, [&] { return ffmpeg->running(); }};
                }));
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "latency_bench: %s\n", error.what());
        return 1;
    }
    printTable(reports, stdout);
    writeCsv(reports, options.csv);
    std::fprintf(stderr, "latency_bench: wrote %s\n", options.csv.c_str());
    return 0;
}
