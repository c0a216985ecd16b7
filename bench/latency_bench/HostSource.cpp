#include "latency_bench/HostSource.h"

#include <csignal>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string_view>

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
    // A runtime folder of its own as well: two hosts sharing one would be one instance.
    const auto runtime = scratch / name / "runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    host.environment["XDG_RUNTIME_DIR"] = runtime.string();
    host.argv = {(binaries_ / "caldrovex-host").string(),
                 "--headless",
                 "--listen-only",
                 "--listen",
                 address,
                 "--pair"};
    host.errorLog = (logs_ / (name + ".log")).string();
    host_ = std::make_unique<test::ChildProcess>(std::move(host));
    // Current builds put a timestamp before "link: orvelo://…"; earlier builds did not.
    constexpr std::string_view kLink = "link: ";
    const auto linkAt = [&](const std::string& text) {
        if (text.starts_with(kLink)) return size_t{0};
        const auto at = text.find(" " + std::string(kLink));
        return at == std::string::npos ? at : at + 1;
    };
    auto line = host_->waitForLine(
        [&](const std::string& text) { return linkAt(text) != std::string::npos; }, 0, kStartWait);
    if (!line) throw std::runtime_error("the host printed no pairing link (see its log)");
    const std::string link = line->substr(linkAt(*line) + kLink.size());

    test::ChildProcess::Options device;
    device.argv = {(binaries_ / "caldrovex-device").string(),
                   "--state",
                   stateFile_.string(),
                   "--timeout",
                   "30",
                   "pair",
                   link};
    device.errorLog = (logs_ / (name + "-device.log")).string();
    test::ChildProcess pair(std::move(device));
    const int status = pair.wait(kStartWait).value_or(-1);
    if (status != 0)
        throw std::runtime_error("the device could not pair (status " + std::to_string(status) +
                                 ")");
}

void HostSource::setCurtain(bool enabled) {
    const std::string wanted = enabled ? "curtain: on" : "curtain: off";
    const size_t from = host_->lineCount();
    host_->writeLine(enabled ? "curtain on" : "curtain off");
    auto answer = host_->waitForPrefix("curtain: ", from, kStartWait);
    if (answer != wanted)
        throw std::runtime_error("the host answered \"" + answer.value_or("nothing") + "\" to " +
                                 wanted);
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
