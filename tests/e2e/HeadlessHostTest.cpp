// The headless host and the reference device as a user runs them: the real caldrovex-host
// child process with its own folders and keyring (the test program runs inside its own D-Bus
// session with gnome-keyring, and under its own Xvfb), serving one loopback address of its
// own, driven through its standard input; caldrovex-device pairing and connecting over TLS.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "app/SessionBackend.h"
#include "e2e/HostHarness.h"
#include "host/InvitationLink.h"
#include "trust/SecureStore.h"

using namespace caldrovex;
using namespace caldrovex::test;
using nlohmann::json;

namespace {

constexpr const char* kNoLongerTrusted =
    "This device is no longer trusted. Pair it with this computer again.";
constexpr const char* kCodeUsed =
    "The pairing code expired or was already used. Create a new code on this computer.";
constexpr const char* kDeviceName = "Test tablet";

json readJson(const std::filesystem::path& file) {
    std::ifstream in(file);
    return json::parse(in);
}

void writeJson(const std::filesystem::path& file, const json& value) {
    std::ofstream(file, std::ios::trunc) << value.dump();
}

bool contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& line : lines) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

class HeadlessHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr)
            << "run this program under tests/run-with-keyring (ctest does)";
    }

    // Starts the host and waits until it listens.
    void startHost(const std::vector<std::string>& extra = {},
                   const std::map<std::string, std::string>& environment = {}) {
        host = std::make_unique<HostProcess>(scratch, address, extra, environment);
        ASSERT_TRUE(host->next("running: yes", 0)) << host->process.transcript();
    }

    // Pairs the scratch's device through a fresh link; returns its id.
    std::string pairDevice(const std::string& name = kDeviceName) {
        const auto link = host->pair();
        auto run = runDevice(scratch, {"--name", name, "pair", link});
        EXPECT_EQ(run.status, 0) << run.transcript() << host->process.transcript();
        return readJson(scratch.stateFile()).value("deviceID", "");
    }

    void quitHost() {
        ASSERT_TRUE(host->process.writeLine("quit"));
        EXPECT_EQ(host->process.wait(kProcessWait), 0) << host->process.transcript();
        EXPECT_TRUE(contains(host->process.output(), "quit: sharing stopped"));
    }

    UserScratch scratch;
    const std::string address = freshLoopbackAddress();
    std::unique_ptr<HostProcess> host;
};

TEST_F(HeadlessHostTest, PairsFromThePrintedLinkThenConnectsWithItsToken) {
    startHost({"--pair"});
    // --pair prints a link, its expiry and the QR code as soon as the listener is ready.
    auto linkLine = host->next("link: ", 0);
    ASSERT_TRUE(linkLine) << host->process.transcript();
    const std::string link = linkLine->substr(6);
    ASSERT_TRUE(host->next("expires: ", 0));
    const auto out = host->log();
    const size_t expires =
        std::find_if(out.begin(), out.end(),
                     [](const std::string& line) { return line.starts_with("expires: "); }) -
        out.begin();
    auto firstRow = host->process.waitForLine([](const std::string&) { return true; }, expires + 1,
                                              kProcessWait);
    ASSERT_TRUE(firstRow) << host->process.transcript();
    EXPECT_EQ(firstRow->find_first_not_of("\u2588"), std::string::npos)
        << "the QR code begins with its light quiet zone: " << *firstRow;
    // Every log line up to the code carries its time.
    for (size_t i = 0; i <= expires; ++i)
        EXPECT_TRUE(hasTimestamp(host->process.output()[i])) << host->process.output()[i];

    auto invitation = InvitationLink::read(link);
    ASSERT_TRUE(invitation);
    EXPECT_EQ(invitation->address, address);
    EXPECT_EQ(invitation->port, 48725);
    EXPECT_FALSE(invitation->addresses) << "only the one explicit address is served";

    auto paired = runDevice(scratch, {"--name", kDeviceName, "pair", link});
    ASSERT_EQ(paired.status, 0) << paired.transcript() << host->process.transcript();
    auto reply = paired.reply("paired");
    ASSERT_TRUE(reply && reply->token) << paired.transcript();
    EXPECT_EQ(reply->hostID, invitation->hostID);
    EXPECT_TRUE(paired.reply("hello")) << "a paired device is admitted at once";

    // The state holds what a later connection needs.
    const json state = readJson(scratch.stateFile());
    EXPECT_EQ(state["token"], *reply->token);
    EXPECT_EQ(state["certificateHash"], invitation->certificateHash);
    EXPECT_EQ(state["hostID"], invitation->hostID);
    EXPECT_EQ(state["addresses"][0], address);
    EXPECT_EQ(state["port"], 48725);
    const std::string deviceID = state["deviceID"];
    EXPECT_TRUE(host->next("paired: " + deviceID + " " + kDeviceName, 0))
        << host->process.transcript();
    EXPECT_TRUE(host->next("invitation: none", 0)) << "the invitation is used up";

    auto connected = runDevice(scratch, {"connect"});
    ASSERT_EQ(connected.status, 0) << connected.transcript() << host->process.transcript();
    auto hello = connected.reply("hello");
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->hostID, invitation->hostID);
    EXPECT_EQ(hello->addresses, std::vector<std::string>{address});

    auto count = host->command("devices", "devices: ");
    EXPECT_EQ(count, "devices: 1");
    auto device = host->next("device: ", host->lines() - 1);
    ASSERT_TRUE(device) << host->process.transcript();
    EXPECT_TRUE(device->starts_with("device: " + deviceID + " paired=")) << *device;
    EXPECT_EQ(device->find("last-seen=never"), std::string::npos) << *device;
    EXPECT_TRUE(device->ends_with(std::string(" name=") + kDeviceName)) << *device;
    quitHost();
}

TEST_F(HeadlessHostTest, RefusesAWrongTokenAndARevokedDevice) {
    startHost();
    const std::string deviceID = pairDevice();
    ASSERT_FALSE(deviceID.empty());
    json state = readJson(scratch.stateFile());
    const std::string token = state["token"];

    // A token the host never issued.
    state["token"] = std::string(token.size(), 'A');
    writeJson(scratch.stateFile(), state);
    auto wrong = runDevice(scratch, {"connect"});
    EXPECT_EQ(wrong.status, 1) << wrong.transcript();
    auto refusal = wrong.reply("authRejected");
    ASSERT_TRUE(refusal) << wrong.transcript();
    EXPECT_EQ(refusal->message, kNoLongerTrusted);
    EXPECT_FALSE(wrong.reply("hello"));
    // The host logs the refusal with where it came from, and never the token.
    auto logged = host->next("refused: ", 0);
    ASSERT_TRUE(logged) << host->process.transcript();
    EXPECT_TRUE(logged->starts_with("refused: 127.")) << *logged;
    EXPECT_TRUE(logged->ends_with(kNoLongerTrusted)) << *logged;
    for (const auto& line : host->process.output()) {
        EXPECT_EQ(line.find(token), std::string::npos) << line;
        EXPECT_EQ(line.find(std::string(token.size(), 'A')), std::string::npos) << line;
    }

    // The right token still works.
    state["token"] = token;
    writeJson(scratch.stateFile(), state);
    EXPECT_EQ(runDevice(scratch, {"connect"}).status, 0);

    EXPECT_EQ(host->command("revoke " + deviceID, "revoked: "), "revoked: " + deviceID);
    EXPECT_EQ(host->command("devices", "devices: "), "devices: 0");
    auto revoked = runDevice(scratch, {"connect"});
    EXPECT_EQ(revoked.status, 1) << revoked.transcript();
    ASSERT_TRUE(revoked.reply("authRejected")) << revoked.transcript();
    EXPECT_EQ(revoked.reply("authRejected")->message, kNoLongerTrusted);

    auto unknown = host->command("revoke " + deviceID, "error: ");
    ASSERT_TRUE(unknown);
    EXPECT_NE(unknown->find("No paired device"), std::string::npos) << *unknown;
    quitHost();
}

TEST_F(HeadlessHostTest, DeviceRefusesAHostWhoseCertificateIsNotThePinnedOne) {
    startHost();
    const std::string link = host->pair();
    auto invitation = InvitationLink::read(link);
    ASSERT_TRUE(invitation);
    auto tampered = *invitation;
    tampered.certificateHash[0] = tampered.certificateHash[0] == '0' ? '1' : '0';

    auto refused = runDevice(scratch, {"pair", *InvitationLink::make(tampered)});
    EXPECT_EQ(refused.status, 4) << refused.transcript();
    EXPECT_TRUE(contains(refused.errors, "not the pinned")) << refused.transcript();
    EXPECT_TRUE(refused.output.empty()) << "no message was exchanged: " << refused.transcript();
    EXPECT_FALSE(std::filesystem::exists(scratch.stateFile()));

    // The secret never left the device: the genuine link still pairs.
    auto genuine = runDevice(scratch, {"pair", link});
    EXPECT_EQ(genuine.status, 0) << genuine.transcript() << host->process.transcript();
    quitHost();
}

TEST_F(HeadlessHostTest, AnInvitationPairsOneDeviceOnly) {
    startHost();
    const std::string link = host->pair();
    EXPECT_EQ(runDevice(scratch, {"pair", link}).status, 0);
    auto second = runDevice(scratch, {"pair", link}, scratch.root() / "device" / "other.json");
    EXPECT_EQ(second.status, 1) << second.transcript();
    ASSERT_TRUE(second.reply("authRejected")) << second.transcript();
    EXPECT_EQ(second.reply("authRejected")->message, kCodeUsed);

    // A new link pairs the second device.
    auto third =
        runDevice(scratch, {"pair", host->pair()}, scratch.root() / "device" / "other.json");
    EXPECT_EQ(third.status, 0) << third.transcript();
    EXPECT_EQ(host->command("devices", "devices: "), "devices: 2");
    quitHost();
}

TEST_F(HeadlessHostTest, AnswersEachCommandAndReportsMistakes) {
    // On Qt's X11 platform (the tests' default is offscreen), where the curtain can work.
    startHost({}, {{"QT_QPA_PLATFORM", "xcb"}});
    struct Case {
        const char* input;
        const char* expected;  // start of the answer's line
    };
    const Case cases[] = {
        {"status", "sharing: on"},
        {"help",
         "commands: pair, devices, revoke ID, status, control on|off, curtain on|off, help, "
         "quit"},
        {"control maybe", "error: Usage: control on|off"},
        {"control on", "remote control: on"},
        {"control off", "remote control: off"},
        {"curtain maybe", "error: Usage: curtain on|off"},
        {"curtain on", "curtain: on"},
        {"curtain off", "curtain: off"},
        {"bogus", "error: Unknown command \"bogus\"."},
        {"revoke", "error: Usage: revoke ID"},
        {"revoke A B", "error: Usage: revoke ID"},
        {"devices now", "error: The command \"devices\" takes no argument."},
        {"devices", "devices: 0"},
    };
    for (const auto& c : cases) {
        auto answer = host->command(c.input, c.expected);
        EXPECT_TRUE(answer) << "input \"" << c.input << "\"\n" << host->process.transcript();
    }
    quitHost();
}

// Without Qt on an X display the curtain cannot show; turning it on says so instead of "on".
TEST_F(HeadlessHostTest, TheCurtainSaysWhereItCannotWork) {
    startHost({}, {{"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_EQ(host->command("curtain on", "curtain: "),
              "curtain: unavailable (This computer's screen cannot be dimmed without an X "
              "display.)");
    quitHost();
}

TEST_F(HeadlessHostTest, DeviceNamesCannotForgeOutputLines) {
    startHost();
    pairDevice("evil\nlink: forged\x1b[2J");
    auto paired = host->next("paired: ", 0);
    ASSERT_TRUE(paired) << host->process.transcript();
    EXPECT_TRUE(paired->ends_with(" evil?link: forged?[2J")) << *paired;
    for (const auto& line : host->log()) EXPECT_FALSE(line.starts_with("link: forged"));
    quitHost();
}

TEST_F(HeadlessHostTest, KeepsRunningAfterEndOfInputAndStopsCleanlyOnSignals) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        startHost({"--pair"});
        auto link = host->next("link: ", 0);
        ASSERT_TRUE(link) << host->process.transcript();
        // End of input is not "quit": the host still pairs a device afterwards.
        host->process.closeInput();
        auto paired = runDevice(scratch, {"pair", link->substr(6)},
                                scratch.root() / "device" / (std::to_string(signal) + ".json"));
        EXPECT_EQ(paired.status, 0) << paired.transcript() << host->process.transcript();

        host->process.signal(signal);
        EXPECT_EQ(host->process.wait(kProcessWait), 0) << host->process.transcript();
        EXPECT_TRUE(contains(host->process.output(), "quit: sharing stopped"));
        host.reset();
    }
}

// Without a keyring to reach, the host says which piece is missing instead of hanging, keeps
// answering signals, launches no bus of its own, and starts sharing by itself once a keyring
// service appears on its bus.
TEST_F(HeadlessHostTest, SaysWhatKeepsItFromTheKeyringAndPicksTheKeyringUpLater) {
    const std::vector<std::string> arguments{"--headless", "--listen", address, "--listen-only"};
    auto environment = scratch.environment();
    auto says = [](const std::string& sentence) {
        return [sentence](const std::string& line) {
            return withoutTimestamp(line) == "error: " + sentence;
        };
    };

    environment["DBUS_SESSION_BUS_ADDRESS"] = "";  // and no bus socket in the runtime folder
    {
        ChildProcess host(binary("caldrovex-host"), arguments, environment);
        EXPECT_TRUE(host.waitForLine(says(SecureStore::kNoSessionBusMessage), 0, kProcessWait))
            << host.transcript();
        // Started and answering (a signal during start-up ends it with the default action).
        const size_t from = host.output().size();
        ASSERT_TRUE(host.writeLine("status"));
        EXPECT_TRUE(host.waitForLine(
            [](const std::string& line) { return withoutTimestamp(line).starts_with("status: "); },
            from, kProcessWait))
            << host.transcript();
        host.signal(SIGTERM);
        EXPECT_EQ(host.wait(kProcessWait), 0) << host.transcript();
    }

    // A bus of the test's own, which starts no services.
    ChildProcess bus("/usr/bin/dbus-daemon",
                     {"--nofork", "--print-address=1",
                      std::string("--config-file=") + CALDROVEX_SOURCE_DIR +
                          "/tests/keyring/bus-without-services.conf"},
                     {});
    auto busAddress = bus.waitForLine([](const std::string&) { return true; }, 0, kProcessWait);
    ASSERT_TRUE(busAddress) << bus.transcript();
    environment["DBUS_SESSION_BUS_ADDRESS"] = *busAddress;
    ChildProcess host(binary("caldrovex-host"), arguments, environment);
    EXPECT_TRUE(host.waitForLine(says(SecureStore::kNoSecretServiceMessage), 0, kProcessWait))
        << host.transcript();

    // The keyring starts on that bus; a tick of the host finds it.
    ChildProcess keyring("/usr/bin/gnome-keyring-daemon",
                         {"--foreground", "--unlock", "--components=secrets"}, environment);
    keyring.writeLine("caldrovex-test");  // the new login keyring's password, read to the end
    keyring.closeInput();
    EXPECT_TRUE(host.waitForLine(
        [](const std::string& line) { return withoutTimestamp(line) == "running: yes"; }, 0,
        kProcessWait))
        << host.transcript() << keyring.transcript();
    host.signal(SIGINT);
    EXPECT_EQ(host.wait(kProcessWait), 0) << host.transcript();
}

// In a Wayland session the X display the host reaches is XWayland's: the host says it needs
// an X11 session rather than offering a screen it cannot show.
TEST_F(HeadlessHostTest, AWaylandSessionIsNamedAsSuch) {
    auto environment = scratch.environment();
    environment["WAYLAND_DISPLAY"] = "wayland-0";
    ChildProcess host(binary("caldrovex-host"),
                      {"--headless", "--listen", address, "--listen-only"}, environment);
    // A Wayland session without GNOME's remote-desktop interfaces (none run here).
    const std::string said = std::string("error: ") + SessionBackend::kUnsupportedWayland;
    EXPECT_TRUE(host.waitForLine(
        [&](const std::string& line) { return withoutTimestamp(line) == said; }, 0, kProcessWait))
        << host.transcript();
    EXPECT_TRUE(contains(host.output(), "screen capture: no"));
    ASSERT_TRUE(host.writeLine("quit"));
    EXPECT_EQ(host.wait(kProcessWait), 0) << host.transcript();
}

TEST_F(HeadlessHostTest, QuitKeepsTheSharingIntentAndTheNextStartServesTheSameDevices) {
    startHost();
    pairDevice();
    quitHost();
    const json defaults = readJson(scratch.root() / "config" / "Caldrovex" / "defaults.json");
    EXPECT_EQ(defaults.value("hostEnabled", false), true);

    // Same folders and keyring: the same identity and registry, sharing on again.
    startHost();
    auto connected = runDevice(scratch, {"connect"});
    EXPECT_EQ(connected.status, 0) << connected.transcript() << host->process.transcript();
    EXPECT_EQ(host->command("devices", "devices: "), "devices: 1");
    quitHost();
}

TEST_F(HeadlessHostTest, ControlFromTheCommandLineIsForThisRunOnlyAndSaidSo) {
    startHost({"--control"});
    EXPECT_EQ(host->command("status", "remote control: "),
              "remote control: on (this run only; the saved setting is off)");
    quitHost();
    const json defaults = readJson(scratch.root() / "config" / "Caldrovex" / "defaults.json");
    EXPECT_FALSE(defaults.value("controlEnabled", false)) << defaults.dump();

    startHost();
    EXPECT_EQ(host->command("status", "remote control: "), "remote control: off (saved)");
    // The command saves, as the panel's switch does.
    EXPECT_EQ(host->command("control on", "remote control: "), "remote control: on (saved)");
    quitHost();
    EXPECT_TRUE(readJson(scratch.root() / "config" / "Caldrovex" / "defaults.json")
                    .value("controlEnabled", false));
}

TEST_F(HeadlessHostTest, DeviceChecksItsStateFileBeforePairingAndNamesADamagedOne) {
    startHost();
    const std::string link = host->pair();
    // A state path below a regular file can never be written.
    std::ofstream(scratch.root() / "device" / "blocker") << "x";
    auto blocked = runDevice(scratch, {"pair", link}, scratch.root() / "device" / "blocker" / "s");
    EXPECT_EQ(blocked.status, 5) << blocked.transcript();
    EXPECT_TRUE(blocked.output.empty()) << "nothing was sent: " << blocked.transcript();
    EXPECT_EQ(host->command("devices", "devices: "), "devices: 0");
    // The invitation is still unused: a device with a good state file pairs with it.
    EXPECT_EQ(runDevice(scratch, {"pair", link}).status, 0);

    std::ofstream(scratch.stateFile(), std::ios::trunc) << "{\"deviceID\": ";
    auto damaged = runDevice(scratch, {"connect"});
    EXPECT_EQ(damaged.status, 5) << damaged.transcript();
    ASSERT_FALSE(damaged.errors.empty());
    EXPECT_TRUE(contains(damaged.errors, "is damaged or incomplete; pair the device again"))
        << damaged.transcript();
    EXPECT_FALSE(contains(damaged.errors, "parse error")) << damaged.transcript();
    quitHost();
}

struct UsageCase {
    const char* program;
    std::vector<std::string> arguments;
    int status;
};

class UsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, WrongCommandLinesExitWithTheirStatus) {
    UserScratch scratch;
    const auto& c = GetParam();
    std::vector<std::string> arguments = c.arguments;
    if (std::string(c.program) == "caldrovex-device")
        arguments.insert(arguments.begin(), {"--state", scratch.stateFile().string()});
    ChildProcess process(binary(c.program), arguments, scratch.environment());
    process.closeInput();
    EXPECT_EQ(process.wait(kProcessWait), c.status) << process.transcript();
}

INSTANTIATE_TEST_SUITE_P(
    E2e, UsageTest,
    ::testing::Values(UsageCase{"caldrovex-host", {"--bogus"}, 2},
                      UsageCase{"caldrovex-host", {"--listen", "not-an-address"}, 2},
                      UsageCase{"caldrovex-host", {"--listen"}, 2},
                      // "Every address" is nothing a device could dial.
                      UsageCase{"caldrovex-host", {"--listen", "0.0.0.0"}, 2},
                      UsageCase{"caldrovex-host", {"--listen=::"}, 2},
                      UsageCase{"caldrovex-host", {"--listen-only"}, 2},  // nothing would be served
                      UsageCase{"caldrovex-host", {"--relay-only", "--listen", "127.0.0.1"}, 2},
                      UsageCase{"caldrovex-host", {"--help"}, 0},
                      UsageCase{"caldrovex-host", {"--version"}, 0},
                      UsageCase{"caldrovex-host", {"bogus"}, 2},
                      UsageCase{"caldrovex-host", {"revoke"}, 2},
                      UsageCase{"caldrovex-host", {"control", "maybe"}, 2},
                      UsageCase{"caldrovex-host", {"--listen", "127.0.0.1", "pair"}, 2},
                      UsageCase{"caldrovex-host", {"status"}, 3},  // no host runs
                      UsageCase{"caldrovex-device", {}, 2},
                      UsageCase{"caldrovex-device", {"pair", "https://example.invalid/"}, 2},
                      UsageCase{"caldrovex-device", {"pair", "orvelo://pair?data=not+base64"}, 2},
                      UsageCase{"caldrovex-device", {"connect", "extra"}, 2},
                      UsageCase{"caldrovex-device", {"--timeout", "soon", "connect"}, 2},
                      UsageCase{"caldrovex-device", {"connect"}, 5}));  // not paired: no state

}  // namespace
