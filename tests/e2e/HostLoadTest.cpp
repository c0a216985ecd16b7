// The real host under the load a hostile network can put on it, on loopback and bounded in
// count and time: crowds of silent TCP and TLS connections from many 127.x addresses, a
// burst from one address, two addresses keeping their share of the intake, and a listener
// whose port is taken. The paired reference device (from 127.0.0.1) must still get in and
// stream, and the host must say plainly when it cannot listen.
//
// The figures (admission times, held and refused connections, the host's memory and
// descriptors) are printed for the record; only outcomes are asserted.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdio>
#include <thread>

#include "e2e/HostHarness.h"
#include "e2e/LoopbackAttack.h"
#include "support/ProcessSample.h"

namespace caldrovex::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 48725;

// "127.0.0.<first>" … for `count` addresses.
std::vector<std::string> sources(int first, int count) {
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i) addresses.push_back("127.0.0." + std::to_string(first + i));
    return addresses;
}

// Waits, up to `limit`, for `done`; polls because what it waits for (another process's state)
// sends no event.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

double secondsNow() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// One run of the reference device, timed from its start to the host's "hello".
struct TimedDevice {
    int status = -1;
    double startedAt = 0;           // seconds of the steady clock
    std::optional<double> helloAt;  // the same clock
    int frames = 0;
    std::string transcript;

    std::optional<double> admittedAfter() const {
        if (!helloAt) return std::nullopt;
        return *helloAt - startedAt;
    }
};

TimedDevice runTimed(const UserScratch& scratch, const std::vector<std::string>& arguments) {
    auto times = std::make_shared<std::pair<std::mutex, std::vector<double>>>();
    TimedDevice run;
    run.startedAt = secondsNow();
    ChildProcess::Options options;
    options.argv = {binary("caldrovex-device"), "--state", scratch.stateFile().string()};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    for (const auto& [name, value] : scratch.environment()) options.environment[name] = value;
    options.onLine = [times](const std::string& line, double arrivedAt) {
        if (line.find("\"type\":\"hello\"") == std::string::npos) return;
        std::lock_guard lock(times->first);
        times->second.push_back(arrivedAt);
    };
    ChildProcess device(std::move(options));
    device.closeInput();
    run.status = device.wait(kProcessWait).value_or(-1);
    for (const auto& line : device.output())
        run.frames += line.find("\"event\":\"frame\"") != std::string::npos;
    run.transcript = device.transcript();
    std::lock_guard lock(times->first);
    if (!times->second.empty()) run.helloAt = times->second.front();
    return run;
}

void print(const char* what, const std::optional<ProcessSample>& sample) {
    if (!sample) return (void)std::printf("  host %-22s gone\n", what);
    std::printf("  host %-22s RSS %.1f MiB, %d descriptors, %d threads\n", what, sample->rssMiB,
                sample->descriptors, sample->threads);
}

void print(const LoopbackAttack& attack, const char* when) {
    const auto figures = attack.figures();
    for (size_t i = 0; i < figures.size(); ++i) {
        const auto& f = figures[i];
        std::printf(
            "  %-24s %s: opened %d, held now %d, refused at once %d, dropped later %d, "
            "failed %d\n",
            attack.crowds()[i].name.c_str(), when, f.opened, f.open, f.refused, f.dropped,
            f.failed);
    }
}

class HostLoad : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr)
            << "run this program under tests/run-with-keyring (ctest does)";
    }

    // The host, and the scratch's device paired with it.
    void startPairedHost() {
        host = std::make_unique<HostProcess>(scratch, address, std::vector<std::string>{"--pair"});
        auto link = host->next("link: ", 0);
        ASSERT_TRUE(link) << host->process.transcript();
        auto paired = runDevice(scratch, {"pair", link->substr(6)});
        ASSERT_EQ(paired.status, 0) << paired.transcript() << host->process.transcript();
    }

    std::optional<ProcessSample> sample() { return ProcessSample::of(host->process.pid()); }

    UserScratch scratch;
    const std::string address = freshLoopbackAddress();
    std::unique_ptr<HostProcess> host;
};

// Silent TCP connections from 24 addresses, silent TLS connections from 8 more, a burst of 60
// from one address: the device gets in, streams, and the host gives back what it held.
TEST_F(HostLoad, FloodAndStallLeaveThePairedDeviceIn) {
    startPairedHost();
    // A first stream without load, so that what a capture leaves in place for the next one
    // (threads, X connections) is in the "before" figures too.
    const size_t from = host->lines();
    auto calm = runTimed(scratch, {"--timeout", "45", "stream", "--seconds", "2"});
    ASSERT_EQ(calm.status, 0) << calm.transcript;
    ASSERT_TRUE(host->next("session: none", from)) << host->process.transcript();
    const auto before = sample();
    ASSERT_TRUE(before);

    LoopbackAttack attack(address, kPort,
                          {{"silent TCP, 24 addresses", LoopbackAttack::Kind::silentTcp,
                            sources(10, 24), 4, true, 3000, std::chrono::milliseconds(200)},
                           {"silent TLS, 8 addresses", LoopbackAttack::Kind::silentTls,
                            sources(40, 8), 2, true, 600, std::chrono::milliseconds(200)},
                           {"burst from one address",
                            LoopbackAttack::Kind::silentTcp,
                            {"127.0.0.60"},
                            60,
                            false,
                            60}});
    attack.start();
    ASSERT_TRUE(waitUntil([&] { return attack.everyCrowdArrived(); })) << "the crowds never came";
    const auto during = sample();

    // With more addresses than the pool has places, newcomers displace each other until
    // the crowds have spent their attempts for the minute; a device displaced before it spoke
    // tries again, as devices do.
    const double began = secondsNow();
    TimedDevice loaded;
    int tries = 0;
    do {
        ++tries;
        loaded = runTimed(scratch, {"--timeout", "45", "stream", "--seconds", "3", "--log-frames"});
    } while (loaded.status != 0 && secondsNow() - began < 45);
    std::printf("flood and stall:\n");
    print(attack, "at the end");
    attack.stop();
    EXPECT_EQ(loaded.status, 0) << loaded.transcript << host->process.transcript();
    ASSERT_TRUE(loaded.helloAt) << loaded.transcript;
    EXPECT_GT(loaded.frames, 0) << "the device streams";

    // Everything the crowds made the host hold goes again.
    const int slack = 2;
    waitUntil([&] {
        auto now = sample();
        return now && now->descriptors <= before->descriptors + slack;
    });
    const auto after = sample();
    std::printf(
        "  device admitted after %.3f s unloaded; under load after %.3f s and %d "
        "tries (%.3f s in the last); %d frames\n",
        calm.admittedAfter().value_or(-1), *loaded.helloAt - began, tries,
        loaded.admittedAfter().value_or(-1), loaded.frames);
    print("before", before);
    print("during", during);
    print("after", after);
    ASSERT_TRUE(after);
    EXPECT_LE(after->descriptors, before->descriptors + slack) << "descriptors left behind";
}

// The lock-out that was measured against the intake: two addresses keep four silent TCP
// connections each and reopen every one the host closes. The device tries until it is in.
TEST_F(HostLoad, TwoAddressesKeepingTheirShareDoNotLockTheDeviceOut) {
    startPairedHost();
    LoopbackAttack attack(address, kPort,
                          {{"127.0.0.2 and 127.0.0.3", LoopbackAttack::Kind::silentTcp,
                            sources(2, 2), 4, true, 5000, std::chrono::milliseconds(20)}});
    attack.start();
    ASSERT_TRUE(waitUntil([&] { return attack.everyCrowdArrived(); }));

    // Five connections in a row, each tried until it is admitted (25 s at most).
    std::vector<double> times;
    int tries = 0;
    TimedDevice run;
    for (int connection = 0; connection < 5; ++connection) {
        const double began = secondsNow();
        do {
            ++tries;
            run = runTimed(scratch, {"--timeout", "5", "connect"});
        } while (run.status != 0 && secondsNow() - began < 25);
        if (run.status != 0 || !run.helloAt) break;
        times.push_back(*run.helloAt - began);
    }
    std::printf("two addresses keeping their share:\n");
    print(attack, "meanwhile");
    attack.stop();
    std::printf("  device admitted %zu times in %d tries, after", times.size(), tries);
    for (double seconds : times) std::printf(" %.3f", seconds);
    std::printf(" s\n");
    EXPECT_EQ(times.size(), 5u) << "locked out for 25 s\n"
                                << run.transcript << host->process.transcript();
}

// A port another program holds: the host says where and why it cannot listen, never "Ready",
// and listens (and pairs, with --pair) as soon as the port is free.
TEST_F(HostLoad, TakenPortIsReportedUntilItIsFree) {
    asio::io_context io;
    auto blocker = std::make_unique<asio::ip::tcp::acceptor>(
        io, asio::ip::tcp::endpoint(asio::ip::make_address(address), kPort));
    host = std::make_unique<HostProcess>(scratch, address, std::vector<std::string>{"--pair"});
    const std::string reason = std::make_error_code(std::errc::address_in_use).message();
    ASSERT_TRUE(
        host->next("error: Cannot listen on " + address + " port 48725: " + reason + ".", 0))
        << host->process.transcript();
    ASSERT_TRUE(host->next("status: Cannot listen on " + address, 0)) << host->process.transcript();
    for (const auto& line : host->process.output()) {
        EXPECT_FALSE(line.starts_with("status: Ready")) << line;
        EXPECT_NE(line, "running: yes");
    }

    blocker.reset();
    EXPECT_TRUE(host->next("running: yes", 0)) << host->process.transcript();
    EXPECT_TRUE(host->next("link: ", 0)) << "--pair goes on once the host listens";
    EXPECT_TRUE(host->next("status: Ready on your private network", 0));
}

}  // namespace
}  // namespace caldrovex::test
