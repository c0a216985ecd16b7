// End-to-end latency of a screen change: from the moment a change is drawn on the X screen
// to the moment the receiver has decoded a picture that shows it. Measured at 1920×1080, for
// each scenario (what changes, how often, where the pointer is: Scenario) and each frame rate
// asked for, in the same run, for
//  - host: the real caldrovex-host, headless, streaming over TLS on loopback to
//    caldrovex-device, which acknowledges and decodes every frame and logs every picture;
//  - host-before: the same with the programs of an earlier build (--baseline), for a
//    before/after comparison in one run;
//  - pipeline: the host's capture, streamer, pipeline and encoder in this process, sending to
//    a decoder without a network, with the capture stamped, to split the host's share;
//  - ffmpeg: stock ffmpeg (x11grab → libx264 ultrafast/zerolatency → a pipe → the same
//    decoder), what a user can do without the host.
// Also records the CPU time and resident memory of the sending process while it streams, and
// for the hosts the first change of a fresh stream (drawn the moment the device is told the
// stream runs) and the first changes after a warm resume (the device drops its connection
// and comes back).
// With --curtain the host is measured twice, as `host` and as `host+curtain` (the privacy
// curtain up, so the capture composes the picture from the windows), the changes being drawn
// in a window for every source.
//
// The bench runs itself inside a D-Bus session of its own with a private gnome-keyring,
// private XDG folders and its own Xvfb, so one command does everything:
//
//   latency_bench [--samples N] [--rounds N] [--fps 30,60] [--scenarios probe,square,typing]
//                 [--only host,host-before,pipeline,ffmpeg] [--baseline DIR] [--csv FILE]
//                 [--display :N] [--seed N] [--bin DIR] [--curtain | --wayland]
//
// With --wayland it measures the GNOME Wayland road instead, run on the headless compositor of
// tests/run-with-mutter (whose D-Bus session it shares, adding the keyring):
//
//   tests/run-with-mutter build/release/bench/latency_bench --wayland [options]
//
// The changes are then drawn in a fullscreen window of caldrovex-wayland-window (from --bin),
// timed from the compositor's answer to its commit; the host and the pipeline capture through
// the compositor's screen cast and PipeWire. ffmpeg's x11grab sees nothing there and the
// privacy curtain does not exist there, so neither is measured.
//
// Writes FILE (default latency_bench.csv) with one row per configuration, FILE's stem +
// "_samples.csv" with every latency sample, and the programs' error output into FILE's stem +
// "_logs/".

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "adapters/mutter/MutterCaptureService.h"
#include "adapters/pipewire/PipeWireCaptureStream.h"
#include "adapters/x11/X11CaptureService.h"
#include "latency_bench/ChangePainter.h"
#include "latency_bench/FfmpegSource.h"
#include "latency_bench/HostSource.h"
#include "latency_bench/LatencyMatch.h"
#include "latency_bench/MonotonicTime.h"
#include "latency_bench/PipelineSource.h"
#include "latency_bench/PrivateSession.h"
#include "latency_bench/ResourceSampler.h"
#include "latency_bench/RunReport.h"
#include "latency_bench/Scenario.h"
#include "latency_bench/WaylandCanvas.h"
#include "latency_bench/X11Canvas.h"

using namespace caldrovex::bench;
namespace fs = std::filesystem;

namespace {

// Time for the encoder to settle after the first picture, and for the last change to arrive.
constexpr double kSettle = 1.0;
// A decoded probe within this many levels (each channel) of the drawn colour shows it; the
// colour steps between changes are at least 96 levels.
constexpr int kTolerance = 32;
constexpr std::chrono::milliseconds kFirstFrameWait{30'000};
constexpr int kWarmUpChanges = 10;
// Changes drawn on a running stream before the measured ones: the decoder's first pictures
// pay for memory touched for the first time, which the first-change figure covers apart.
constexpr int kRoundWarmUpChanges = 3;
// Changes timed after a warm resume.
constexpr int kResumedChanges = 3;
// Between the device dropping its connection and coming back: long enough for the host to
// see the old connection close, as after a short loss of the network.
constexpr auto kDropPause = std::chrono::milliseconds(500);

struct Options {
    // Changes per configuration, drawn over `rounds` interleaved rounds.
    int samples = 45;
    int rounds = 3;
    std::vector<int> rates{30, 60};
    std::vector<Scenario> scenarios = Scenario::all();
    std::set<std::string> sources{"host", "host-before", "pipeline", "ffmpeg"};
    std::optional<fs::path> baseline;
    std::string csv = "latency_bench.csv";
    std::optional<std::string> display;
    uint32_t seed = std::random_device{}();
    fs::path binaries;
    bool curtain = false;
    bool wayland = false;
};

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr,
                 "latency_bench: %s\n"
                 "usage: latency_bench [--samples N] [--rounds N] [--fps 30,60] [--scenarios "
                 "probe,square,typing]\n"
                 "                     [--only host,host-before,pipeline,ffmpeg] [--baseline DIR] "
                 "[--csv FILE]\n"
                 "                     [--display :N] [--seed N] [--bin DIR] [--curtain | "
                 "--wayland]\n"
                 "       tests/run-with-mutter latency_bench --wayland [options]\n",
                 problem.c_str());
    std::exit(2);
}

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> items;
    std::stringstream stream(list);
    for (std::string item; std::getline(stream, item, ',');) {
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

Options parse(int argc, char** argv) {
    Options options;
    options.binaries = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin";
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--curtain") {
            options.curtain = true;
            continue;
        }
        if (name == "--wayland") {
            options.wayland = true;
            continue;
        }
        if (i + 1 >= argc) usage(name + " needs a value");
        const std::string value = argv[++i];
        try {
            if (name == "--samples") {
                options.samples = std::stoi(value);
            } else if (name == "--rounds") {
                options.rounds = std::stoi(value);
            } else if (name == "--fps") {
                options.rates.clear();
                for (const auto& rate : split(value)) options.rates.push_back(std::stoi(rate));
            } else if (name == "--scenarios") {
                options.scenarios.clear();
                for (const auto& scenarioName : split(value)) {
                    auto scenario = Scenario::named(scenarioName);
                    if (!scenario) usage("no scenario " + scenarioName);
                    options.scenarios.push_back(*scenario);
                }
            } else if (name == "--only") {
                options.sources.clear();
                for (const auto& source : split(value)) {
                    if (source != "host" && source != "host-before" && source != "pipeline" &&
                        source != "ffmpeg")
                        usage("--only takes host,host-before,pipeline,ffmpeg");
                    options.sources.insert(source);
                }
            } else if (name == "--baseline") {
                options.baseline = value;
            } else if (name == "--csv") {
                options.csv = value;
            } else if (name == "--display") {
                options.display = value;
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
    if (options.scenarios.empty() || options.rates.empty()) usage("nothing to measure");
    // Without an earlier build there is nothing to compare with.
    if (!options.baseline) options.sources.erase("host-before");
    if (options.wayland) {
        if (options.curtain) usage("the privacy curtain is not available on Wayland");
        if (options.display) usage("--display names an X server, which --wayland does not use");
        // x11grab sees nothing of a Wayland session.
        options.sources.erase("ffmpeg");
        if (options.sources.empty()) usage("on Wayland, --only takes host,host-before,pipeline");
    }
    return options;
}

// The capture the in-process pipeline uses: the X server's, or the GNOME compositor's screen
// cast read through PipeWire.
std::shared_ptr<caldrovex::CaptureService> captureService(const Options& options,
                                                          const PrivateSession& session) {
    using namespace caldrovex;
    if (!options.wayland)
        return std::make_shared<platform::X11CaptureService>(session.displayName());
    auto gnome = platform::MutterDesktop::open();
    if (!gnome || !gnome->offersScreenCast())
        throw std::runtime_error("the session bus offers no GNOME screen cast");
    return std::make_shared<platform::MutterCaptureService>(
        gnome, platform::PipeWireCaptureStream::factory(platform::SystemClock::shared()));
}

// Checks that the bench runs on a GNOME Wayland session, and names the compositor's socket by
// its full path: the private session moves the runtime folder it lies in.
std::string enterWaylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (display == nullptr || *display == '\0' || type == nullptr || std::string(type) != "wayland")
        usage("--wayland needs a GNOME Wayland session: run it under tests/run-with-mutter");
    fs::path socket(display);
    if (socket.is_relative() && runtime != nullptr) socket = fs::path(runtime) / socket;
    ::setenv("WAYLAND_DISPLAY", socket.c_str(), 1);
    return socket.string();
}

// Whether the local screen at the probe got dimmed by the curtain in time.
bool waitForCurtain(ChangePainter& painter) {
    const auto deadline = std::chrono::steady_clock::now() + kFirstFrameWait;
    for (;;) {
        const auto colour = painter.screenColour();
        if (colour[0] < 40 && colour[1] < 40 && colour[2] < 40) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A source streaming for one round: the sending process (0: this one), how to end it, whether
// its receiving side still runs, and for the hosts the device, which takes commands.
struct Started {
    pid_t pid = 0;
    std::function<void()> stop;
    std::function<bool()> running;
    caldrovex::test::ChildProcess* device = nullptr;
};

// One round of one configuration: the source streams, the painter draws the scenario's
// changes, the sampler watches the sending process; returns what was recorded, or throws
// std::runtime_error with the reason the round could not run. For the hosts, the first change
// is drawn the moment the device hears "streaming", and after the measured changes the
// device drops its connection, comes back and sees a few more.
Round measure(const RunReport& config, const Scenario& scenario, int count, ChangePainter& painter,
              const std::function<Started(FrameLog&)>& start) {
    std::fprintf(stderr, "latency_bench: %s, %s at %d fps, %d changes\n", scenario.name.c_str(),
                 config.name.c_str(), config.fps, count);
    painter.clear(scenario);
    FrameLog log;
    Round round;
    Started source = start(log);
    auto fail = [&](const std::string& reason) {
        source.stop();
        throw std::runtime_error(reason);
    };
    if (source.device != nullptr) {
        if (!log.waitForStreaming(1, kFirstFrameWait)) fail("the stream was not announced");
        round.first = painter.change();
    }
    const auto deadline = std::chrono::steady_clock::now() + kFirstFrameWait;
    while (!log.waitFor(1, std::chrono::milliseconds(250))) {
        if (!source.running() || std::chrono::steady_clock::now() > deadline)
            fail("no picture arrived (see the logs)");
    }
    // The curtain goes up once the stream's pictures leave it out; the measured changes come
    // after that.
    if (config.name == "host+curtain" && !waitForCurtain(painter))
        fail("the curtain did not come up (see the host's log)");
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettle));
    painter.changes(kRoundWarmUpChanges);
    // The in-process source shares this process with the painter and the decoder: its use
    // would say nothing.
    ResourceSampler sampler(source.pid);
    if (source.pid > 0) sampler.start();
    round.from = monotonicNow();
    round.changes = painter.changes(count);
    if (!painter.realtime())
        std::fprintf(stderr, "latency_bench: painting without real-time priority\n");
    std::this_thread::sleep_for(std::chrono::duration<double>(kSettle));
    round.until = monotonicNow();
    if (source.pid > 0) round.resources = sampler.stop();
    if (source.device != nullptr) {
        source.device->writeLine("drop");
        std::this_thread::sleep_for(kDropPause);
        source.device->writeLine("reconnect");
        auto resumedAt = log.waitForStreaming(2, kFirstFrameWait);
        if (!resumedAt) fail("the stream did not resume");
        round.resumedAt = *resumedAt;
        round.resumed.push_back(painter.change());
        for (const auto& change : painter.changes(kResumedChanges - 1))
            round.resumed.push_back(change);
        std::this_thread::sleep_for(std::chrono::duration<double>(kSettle));
    }
    source.stop();
    round.frames = log.frames();
    return round;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    // On Wayland the bench shares the compositor's D-Bus session, where the screen cast is.
    const std::string waylandDisplay = options.wayland ? enterWaylandSession() : "";
    if (!options.wayland) PrivateSession::enterBusSession(argc, argv);
    try {
        const fs::path csv(options.csv);
        const fs::path logs = csv.parent_path() / (csv.stem().string() + "_logs");
        fs::remove_all(logs);
        fs::create_directories(logs);
        PrivateSession session(logs);
        if (options.display) {
            session.useXServer(*options.display);
        } else if (!options.wayland) {
            session.startXServer();
        }
        double load[3] = {};
        getloadavg(load, 3);
        std::fprintf(stderr,
                     "latency_bench: display %s, seed %u, %d changes per configuration in %d "
                     "rounds, load average %.1f %.1f %.1f\n",
                     options.wayland ? waylandDisplay.c_str() : session.displayName().c_str(),
                     options.seed, options.samples, options.rounds, load[0], load[1], load[2]);
        std::unique_ptr<PaintCanvas> canvas;
        if (options.wayland) {
            canvas = std::make_unique<WaylandCanvas>(options.binaries, logs / "wayland-window.log");
        } else {
            canvas = std::make_unique<X11Canvas>(session.displayName(), options.curtain);
        }
        ChangePainter painter(std::move(canvas), options.seed);
        const auto capture = captureService(options, session);

        // The hosts run for the whole bench, each with folders of its own.
        std::map<std::string, std::unique_ptr<HostSource>> hosts;
        std::map<std::string, std::string> hostFailures;
        for (const auto& [name, binaries] :
             {std::pair<std::string, std::optional<fs::path>>{"host", options.binaries},
              {"host-before", options.baseline}}) {
            if (!options.sources.contains(name) || !binaries) continue;
            try {
                hosts[name] = std::make_unique<HostSource>(name, *binaries, session.root(), logs);
            } catch (const std::runtime_error& error) {
                hostFailures[name] = error.what();
                std::fprintf(stderr, "latency_bench: %s unavailable: %s\n", name.c_str(),
                             error.what());
            }
        }
        // An untimed warm-up: the first stream on a fresh X server and in a fresh process
        // (shared memory, pages and caches touched for the first time) does not count.
        {
            std::fprintf(stderr, "latency_bench: warming up\n");
            const Scenario& scenario = options.scenarios.front();
            painter.clear(scenario);
            FrameLog log;
            PipelineSource warmUp(capture, options.rates.front(), scenario.probeX, scenario.probeY,
                                  log);
            log.waitFor(1, kFirstFrameWait);
            painter.changes(kWarmUpChanges);
        }
        std::vector<RunReport> reports;
        for (const Scenario& scenario : options.scenarios) {
            for (int fps : options.rates) {
                for (const char* name : {"host", "host-before", "pipeline", "ffmpeg"}) {
                    if (options.sources.contains(name))
                        reports.emplace_back(scenario.name, name, fps);
                }
                if (options.curtain && options.sources.contains("host"))
                    reports.emplace_back(scenario.name, "host+curtain", fps);
            }
        }
        // Rounds interleave the configurations, so that a change in the machine's load (other
        // work on these shared cores) falls on all of them alike.
        for (int round = 0; round < options.rounds; ++round) {
            const int count = options.samples / options.rounds +
                              (round < options.samples % options.rounds ? 1 : 0);
            for (RunReport& report : reports) {
                const Scenario scenario = *Scenario::named(report.scenario);
                const int fps = report.fps;
                // The device streams a little longer than the painting needs; it is stopped
                // earlier.
                const double streamSeconds =
                    4 * kSettle +
                    (count + kRoundWarmUpChanges + kResumedChanges) * scenario.maxGap + 30;
                std::unique_ptr<caldrovex::test::ChildProcess> device;
                std::unique_ptr<PipelineSource> pipeline;
                std::unique_ptr<FfmpegSource> ffmpeg;
                auto start = [&](FrameLog& log) -> Started {
                    if (report.name == "pipeline") {
                        pipeline = std::make_unique<PipelineSource>(capture, fps, scenario.probeX,
                                                                    scenario.probeY, log);
                        return {0, [&] { pipeline->stop(); }, [] { return true; }, nullptr};
                    }
                    if (report.name == "ffmpeg") {
                        ffmpeg = std::make_unique<FfmpegSource>(
                            session.displayName(), fps, scenario.probeX, scenario.probeY,
                            (logs / "ffmpeg.log").string(), log);
                        return {ffmpeg->pid(), [&] { ffmpeg->stop(); },
                                [&] { return ffmpeg->running(); }, nullptr};
                    }
                    // "host+curtain" is the same host with its curtain turned on.
                    const bool curtained = report.name == "host+curtain";
                    const std::string hostName = curtained ? "host" : report.name;
                    auto host = hosts.find(hostName);
                    if (host == hosts.end()) throw std::runtime_error(hostFailures[hostName]);
                    if (options.curtain && hostName == "host") host->second->setCurtain(curtained);
                    device = host->second->stream(fps, streamSeconds, scenario.probeX,
                                                  scenario.probeY, log);
                    return {host->second->pid(),
                            [&] { device->stop(SIGINT, std::chrono::milliseconds(3000)); },
                            [&] { return !device->wait(std::chrono::milliseconds(0)); },
                            device.get()};
                };
                try {
                    Round measured = measure(report, scenario, count, painter, start);
                    if (pipeline) measured.captures = pipeline->captures();
                    report.add(measured, kTolerance);
                } catch (const std::runtime_error& error) {
                    std::fprintf(stderr, "latency_bench: %s, %s at %d fps: %s\n",
                                 scenario.name.c_str(), report.name.c_str(), fps, error.what());
                    report.fail(error.what());
                }
            }
        }
        getloadavg(load, 3);
        std::fprintf(stdout, "load average at the end: %.1f %.1f %.1f\n", load[0], load[1],
                     load[2]);
        for (const Scenario& scenario : options.scenarios) {
            std::fprintf(stdout, "%-8s %s\n", scenario.name.c_str(), scenario.description.c_str());
        }
        std::fprintf(stdout, "\n");
        printTable(reports, stdout);
        writeCsv(reports, options.csv);
        std::fprintf(stderr, "latency_bench: wrote %s\n", options.csv.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "latency_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
