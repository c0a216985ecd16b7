#include "latency_bench/HostSource.h"

#include <csignal>
#include <cstdio>
#include <random>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace caldrovex::bench {

namespace {

// Key generation and keyring calls on a loaded machine.
constexpr std::chrono::milliseconds kStartWait{60'000};

// A loopback address of its own, so that a host of another run never competes for the port.
std::string freshLoopbackAddress() {
    std::random_device random;
    std::uniform_int_distribution<int> octet(1, 254);
    return "127." + std::to_string(octet(random)) + "." + std::to_string(octet(random)) + "." +
           std::to_string(octet(random));
}

std::string format(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

// One `--log-frames` line, or nothing when the line is something else the device printed.
std::optional<FrameRecord> parseFrame(const nlohmann::json& event) {
    if (event.value("event", "") != "frame") return std::nullopt;
    FrameRecord record;
    record.decodedAt = event.value("decodedAt", 0.0);
    record.receivedAt = event.value("receivedAt", 0.0);
    record.keyframe = event.value("keyframe", false);
    record.bytes = event.value("bytes", int64_t{0});
    record.width = event.value("width", 0);
    record.height = event.value("height", 0);
    const auto probe = event.value("probe", std::vector<int>{});
    if (probe.size() != 3) return std::nullopt;
    for (size_t i = 0; i < 3; ++i) record.probe[i] = static_cast<uint8_t>(probe[i]);
    return record;
}

}  // namespace

HostSource::HostSource(const std::string& name, const std::filesystem::path& binaries,
                       const std::filesystem::path& scratch, const std::filesystem::path& logs)
    : name_(name),
      binaries_(binaries),
      logs_(logs),
      stateFile_(scratch / name / "device" / "state.json") {
    const std::string address = freshLoopbackAddress();
    test::ChildProcess::Options host;
    // Folders of its own, so that two hosts in one run keep their identities apart.
    for (const char* folder : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"}) {
        const auto path = scratch / name / folder;
        std::filesystem::create_directories(path);
        host.environment[folder] = path.string();
    }
    host.argv = {(binaries_ / "caldrovex-host").string(),
                 "--headless",
                 "--listen-only",
                 "--listen",
                 address,
                 "--pair"};
    host.errorLog = (logs_ / (name + ".log")).string();
    host_ = std::make_unique<test::ChildProcess>(std::move(host));
    auto link = host_->waitForPrefix("link: ", 0, kStartWait);
    if (!link) throw std::runtime_error("the host printed no pairing link (see its log)");

    test::ChildProcess::Options device;
    device.argv = {(binaries_ / "caldrovex-device").string(),
                   "--state",
                   stateFile_.string(),
                   "--timeout",
                   "30",
                   "pair",
                   link->substr(6)};
    device.errorLog = (logs_ / (name + "-device.log")).string();
    test::ChildProcess pair(std::move(device));
    const int status = pair.wait(kStartWait).value_or(-1);
    if (status != 0)
        throw std::runtime_error("the device could not pair (status " + std::to_string(status) +
                                 ")");
}

HostSource::~HostSource() {
    host_->writeLine("quit");
    host_->stop(SIGTERM, std::chrono::milliseconds(5000));
}

std::unique_ptr<test::ChildProcess> HostSource::stream(int fps, double seconds, double probeX,
                                                       double probeY, FrameLog& log) {
    test::ChildProcess::Options device;
    device.argv = {(binaries_ / "caldrovex-device").string(),
                   "--state",
                   stateFile_.string(),
                   "--timeout",
                   "30",
                   "stream",
                   "--fps",
                   std::to_string(fps),
                   "--log-frames",
                   "--probe",
                   format(probeX) + "," + format(probeY),
                   "--seconds",
                   format(seconds)};
    device.onLine = [&log](const std::string& line, double arrivedAt) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_discarded() || !event.is_object()) return;
        if (auto frame = parseFrame(event)) return log.add(*frame);
        if (event.value("type", "") == "streaming") log.streaming(arrivedAt);
    };
    device.errorLog = (logs_ / (name_ + "-device.log")).string();
    return std::make_unique<test::ChildProcess>(std::move(device));
}

}  // namespace caldrovex::bench
