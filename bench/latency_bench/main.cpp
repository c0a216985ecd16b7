// End-to-end latency of a screen change: from the moment a change is drawn on the X screen
// to the moment the receiver has decoded a picture that shows it. Measured at 1920×1080 and
// each frame rate asked for, in the same run, for
//  - host: the real caldrovex-host, headless, streaming over TLS on loopback to
//    caldrovex-device, which logs every decoded picture;
//  - pipeline: the host's capture, streamer, pipeline and encoder in this process, sending to
//    a decoder without a network, with the capture stamped, to split the host's share;
//  - ffmpeg: stock ffmpeg (x11grab → libx264 ultrafast/zerolatency → a pipe → the same
//    decoder), what a user can do without the host.
// Also records the CPU time and resident memory of the sending process while it streams.
//
// The bench runs itself inside a D-Bus session of its own with a private gnome-keyring,
// private XDG folders and its own Xvfb, so one command does everything:
//
//   latency_bench [--samples N] [--rounds N] [--fps 30,60] [--only host,pipeline,ffmpeg] [--csv
//   FILE]
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
#include "latency_bench/MonotonicTime.h"
#include "latency_bench/PipelineSource.h"
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
constexpr int kWarmUpChanges = 10;
// The first pictures of a new stream pay for memory touched for the first time (the
// encoder's and decoder's picture buffers, the RGB picture: 40-60 ms each on this machine).
// Changes drawn while that lasts are not counted: the figures are for a running stream.
constexpr int kRoundWarmUpChanges = 3;

struct Options {
    // Changes per configuration, drawn over `rounds` interleaved rounds.
    int samples = 45;
    int rounds = 3;
    std::vector<int> rates{30, 60};
    bool host = true;
    bool pipeline = true;
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
                 "usage: latency_bench [--samples N] [--rounds N] [--fps 30,60] [--only "
                 "host,pipeline,ffmpeg] [--csv FILE]\n"
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
            } else if (name == "--rounds") {
                options.rounds = std::stoi(value);
            } else if (name == "--fps") {
                options.rates.clear();
                for (size_t at = 0; at < value.size();) {
                    size_t used = 0;
                    options.rates.push_back(std::stoi(value.substr(at), &used));
                    at += used + 1;
                }
            } else if (name == "--only") {
                options.host = value.find("host") != std::string::npos;
                options.pipeline = value.find("pipeline") != std::string::npos;
                options.ffmpeg = value.find("ffmpeg") != std::string::npos;
                if (!options.host && !options.pipeline && !options.ffmpeg)
                    usage("--only takes host,pipeline,ffmpeg");
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
    if (options.rounds < 1) usage("--rounds must be at least 1");
    if (options.samples < 5 * options.rounds) usage("--samples must be at least 5 a round");
    return options;
}

// One round of one configuration: the source streams, the painter draws `count` changes, the
// sampler watches the sending process; returns what was recorded, or throws
// std::runtime_error with the reason the round could not run.
template <typename StartSource>
Round measure(const std::string& name, int fps, int count, ChangePainter& painter,
              StartSource startSource) {
    std::fprintf(stderr, "latency_bench: %s at %d fps, %d changes\n", name.c_str(), fps, count);
    painter.clear();
    FrameLog log;
    // Returns the sending process's pid (0: this process), a function that ends the stream and
    // one that tells whether the receiving side still runs.
    auto [pid, stop, running] = startSource(log);
    const auto deadline = std::chrono::steady_clock::now() + kFirstFrameWait;
    while (!log.waitFor(1, std::chrono::milliseconds(250))) {
        if (!running() || std::chrono::steady_clock::now() > deadline) {
            stop();
            throw std::runtime_error("no picture arrived (see the logs)");
        }
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettle));
    painter.changes(kRoundWarmUpChanges, kMinGap, kMaxGap);
    // The in-process source shares this process with the painter and the decoder: its use
    // would say nothing.
    ResourceSampler sampler(pid);
    if (pid > 0) sampler.start();
    Round round;
    round.from = monotonicNow();
    round.changes = painter.changes(count, kMinGap, kMaxGap);
    if (!painter.realtime())
        std::fprintf(stderr, "latency_bench: painting without real-time priority\n");
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettle));
    round.until = monotonicNow();
    if (pid > 0) round.resources = sampler.stop();
    stop();
    round.frames = log.frames();
    return round;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    PrivateSession::enterBusSession(argc, argv);
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
        std::fprintf(stderr,
                     "latency_bench: display %s, seed %u, probe %.2f,%.2f, %d changes per "
                     "configuration in %d rounds\n",
                     session.displayName().c_str(), options.seed, options.probeX, options.probeY,
                     options.samples, options.rounds);
        ChangePainter painter(session.displayName(), options.probeX, options.probeY, kSquare,
                              options.seed);

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
        // An untimed warm-up: the first stream on a fresh X server and in a fresh process
        // (shared memory, pages and caches touched for the first time) does not count.
        if (options.pipeline || options.host) {
            std::fprintf(stderr, "latency_bench: warming up\n");
            FrameLog log;
            PipelineSource warmUp(session.displayName(), options.rates.front(), options.probeX,
                                  options.probeY, log);
            log.waitFor(1, kFirstFrameWait);
            painter.changes(kWarmUpChanges, kMinGap, kMaxGap);
        }
        std::vector<RunReport> reports;
        for (int fps : options.rates) {
            if (options.host) reports.emplace_back("host", fps);
            if (options.pipeline) reports.emplace_back("pipeline", fps);
            if (options.ffmpeg) reports.emplace_back("ffmpeg", fps);
        }
        // Rounds interleave the configurations, so that a change in the machine's load (other
        // work on these shared cores) falls on all of them alike.
        for (int round = 0; round < options.rounds; ++round) {
            const int count = options.samples / options.rounds +
                              (round < options.samples % options.rounds ? 1 : 0);
            // The device streams a little longer than the painting needs; it is stopped earlier.
            const double streamSeconds = 2 * kSettle + count * kMaxGap + 20;
            for (RunReport& report : reports) {
                const int fps = report.fps;
                try {
                    if (report.name == "host") {
                        if (!host) throw std::runtime_error(hostFailure);
                        std::unique_ptr<caldrovex::test::ChildProcess> device;
                        report.add(
                            measure("host", fps, count, painter,
                                    [&](FrameLog& log) {
                                        device = host->stream(fps, streamSeconds, options.probeX,
                                                              options.probeY, log);
                                        return std::tuple{
                                            host->pid(),
                                            [&] {
                                                device->stop(SIGINT,
                                                             std::chrono::milliseconds(3000));
                                            },
                                            [&] {
                                                return !device->wait(std::chrono::milliseconds(0));
                                            }};
                                    }),
                            kTolerance);
                    } else if (report.name == "pipeline") {
                        std::unique_ptr<PipelineSource> pipeline;
                        Round measured =
                            measure("pipeline", fps, count, painter, [&](FrameLog& log) {
                                pipeline = std::make_unique<PipelineSource>(session.displayName(),
                                                                            fps, options.probeX,
                                                                            options.probeY, log);
                                return std::tuple{pid_t{0}, [&] { pipeline->stop(); },
                                                  [] { return true; }};
                            });
                        measured.captures = pipeline->captures();
                        report.add(measured, kTolerance);
                    } else {
                        std::unique_ptr<FfmpegSource> ffmpeg;
                        report.add(
                            measure("ffmpeg", fps, count, painter,
                                    [&](FrameLog& log) {
                                        ffmpeg = std::make_unique<FfmpegSource>(
                                            session.displayName(), fps, options.probeX,
                                            options.probeY, (logs / "ffmpeg.log").string(), log);
                                        return std::tuple{ffmpeg->pid(), [&] { ffmpeg->stop(); },
                                                          [&] { return ffmpeg->running(); }};
                                    }),
                            kTolerance);
                    }
                } catch (const std::runtime_error& error) {
                    std::fprintf(stderr, "latency_bench: %s at %d fps: %s\n", report.name.c_str(),
                                 fps, error.what());
                    report.fail(error.what());
                }
            }
        }
        printTable(reports, stdout);
        writeCsv(reports, options.csv);
        std::fprintf(stderr, "latency_bench: wrote %s\n", options.csv.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "latency_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
