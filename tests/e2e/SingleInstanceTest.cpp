// One host per user: later launches of caldrovex-host, with or without a command, reach the
// host that runs (through its socket in the scratch's private runtime folder) instead of
// starting a second one; a socket left by a killed host does not stand in the way.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "e2e/HostHarness.h"
#include "host/InvitationLink.h"

using namespace caldrovex;
using namespace caldrovex::test;

namespace {

// caldrovex-host run as a command, to its end.
DeviceRun hostCommand(const UserScratch& scratch, const std::vector<std::string>& arguments) {
    return runProgram(scratch, "caldrovex-host", arguments);
}

bool says(const DeviceRun& run, const std::string& prefix) {
    for (const auto& line : run.output)
        if (line.starts_with(prefix)) return true;
    return false;
}

size_t columnsOf(const std::string& row) {
    size_t columns = 0;
    for (unsigned char byte : row) columns += (byte & 0xc0) != 0x80;
    return columns;
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr)
            << "run this program under tests/run-with-keyring (ctest does)";
    }
    void startHost() {
        host = std::make_unique<HostProcess>(scratch, address);
        ASSERT_TRUE(host->next("running: yes", 0)) << host->process.transcript();
    }

    UserScratch scratch;
    const std::string address = freshLoopbackAddress();
    std::unique_ptr<HostProcess> host;
};

TEST_F(SingleInstanceTest, ASecondLaunchHandsOverAndExits) {
    startHost();
    auto second = hostCommand(scratch, {"--headless"});
    EXPECT_EQ(second.status, 0) << second.transcript();
    EXPECT_TRUE(says(second, "caldrovex-host: Orvelo Host already runs for this user."))
        << second.transcript();
    EXPECT_TRUE(says(second, "panel: none")) << "a headless host has no panel to show";

    auto withOptions = hostCommand(scratch, {"--listen", "127.0.0.1", "--pair"});
    EXPECT_EQ(withOptions.status, 0) << withOptions.transcript();
    ASSERT_FALSE(withOptions.errors.empty());
    EXPECT_NE(withOptions.errors[0].find("--pair --listen not applied"), std::string::npos)
        << withOptions.transcript();
    // The first host still serves only its own address and runs on.
    auto status = hostCommand(scratch, {"status"});
    EXPECT_TRUE(says(status, "addresses: " + address)) << status.transcript();
}

TEST_F(SingleInstanceTest, CommandsFromAnotherProcessReachTheRunningHost) {
    startHost();
    auto pair = hostCommand(scratch, {"pair"});
    ASSERT_EQ(pair.status, 0) << pair.transcript();
    ASSERT_GE(pair.output.size(), 3u) << pair.transcript();
    ASSERT_TRUE(pair.output[0].starts_with("link: ")) << pair.transcript();
    ASSERT_TRUE(pair.output[1].starts_with("expires: ")) << pair.transcript();
    for (size_t i = 2; i < pair.output.size(); ++i)
        EXPECT_LE(columnsOf(pair.output[i]), 80u) << "QR row " << i - 2;
    const std::string link = pair.output[0].substr(6);
    ASSERT_TRUE(InvitationLink::read(link));

    auto device = runDevice(scratch, {"--name", "Remote tablet", "pair", link});
    ASSERT_EQ(device.status, 0) << device.transcript() << host->process.transcript();
    const std::string deviceID =
        nlohmann::json::parse(std::ifstream(scratch.stateFile())).value("deviceID", "");

    auto status = hostCommand(scratch, {"status"});
    EXPECT_EQ(status.status, 0) << status.transcript();
    for (const std::string& expected : std::vector<std::string>{
             "sharing: on", "port: 48725/tcp", "remote control: off (saved)", "devices: 1",
             "relay: Off \u00b7 private networks only", "certificate: sha256 ",
             "data folder: " + (scratch.root() / "data" / "Caldrovex").string()})
        EXPECT_TRUE(says(status, expected)) << expected << "\n" << status.transcript();

    auto devices = hostCommand(scratch, {"devices"});
    EXPECT_TRUE(says(devices, "device: " + deviceID)) << devices.transcript();
    auto control = hostCommand(scratch, {"control", "on"});
    EXPECT_EQ(control.status, 0);
    EXPECT_TRUE(says(control, "remote control: on (saved)")) << control.transcript();

    auto revoked = hostCommand(scratch, {"revoke", deviceID});
    EXPECT_EQ(revoked.status, 0) << revoked.transcript();
    EXPECT_TRUE(says(revoked, "revoked: " + deviceID));
    auto again = hostCommand(scratch, {"revoke", deviceID});
    EXPECT_EQ(again.status, 1) << "the host refused: " << again.transcript();
    ASSERT_FALSE(again.errors.empty());
    EXPECT_TRUE(again.errors[0].starts_with("error: No paired device")) << again.transcript();

    auto quit = hostCommand(scratch, {"quit"});
    EXPECT_EQ(quit.status, 0) << quit.transcript();
    EXPECT_TRUE(says(quit, "quit: sharing stopped"));
    EXPECT_EQ(host->process.wait(kProcessWait), 0) << host->process.transcript();
    EXPECT_EQ(hostCommand(scratch, {"status"}).status, 3) << "nobody answers any more";
}

TEST_F(SingleInstanceTest, ASocketLeftByAKilledHostDoesNotBlockTheNextStart) {
    startHost();
    host->process.signal(SIGKILL);
    host->process.wait(kProcessWait);
    ASSERT_TRUE(std::filesystem::exists(scratch.root() / "runtime" / "caldrovex-host.sock"))
        << "the killed host could not remove its socket";
    EXPECT_EQ(hostCommand(scratch, {"status"}).status, 3) << "a dead socket is no host";

    startHost();
    auto status = hostCommand(scratch, {"status"});
    EXPECT_EQ(status.status, 0) << status.transcript();
    EXPECT_TRUE(says(status, "running: yes")) << status.transcript();
    EXPECT_EQ(hostCommand(scratch, {"quit"}).status, 0);
    EXPECT_EQ(host->process.wait(kProcessWait), 0);
}

TEST_F(SingleInstanceTest, ASecondLaunchBringsTheDesktopHostsPanelForward) {
    // The desktop host: this test's X display, no tray on it, so the panel opens at launch.
    ChildProcess desktop(binary("caldrovex-host"), {"--listen", address, "--listen-only"},
                         scratch.environment());
    auto panelShown = [](const std::string& line) {
        return withoutTimestamp(line) == "panel: shown";
    };
    auto first = desktop.waitForLine(panelShown, 0, kProcessWait);
    ASSERT_TRUE(first) << desktop.transcript();
    const size_t after = desktop.output().size();

    auto second = hostCommand(scratch, {});
    EXPECT_EQ(second.status, 0) << second.transcript();
    EXPECT_TRUE(says(second, "panel: shown")) << second.transcript();
    EXPECT_TRUE(desktop.waitForLine(panelShown, after, kProcessWait))
        << "the first host raised its panel\n"
        << desktop.transcript();

    EXPECT_EQ(hostCommand(scratch, {"quit"}).status, 0);
    EXPECT_EQ(desktop.wait(kProcessWait), 0) << desktop.transcript();
}

TEST(HostCommandLine, AUsageErrorIsOneLineAndAPointerToHelp) {
    UserScratch scratch;
    auto run = hostCommand(scratch, {"--bogus"});
    EXPECT_EQ(run.status, 2);
    ASSERT_EQ(run.errors.size(), 2u) << run.transcript();
    EXPECT_EQ(run.errors[0], "caldrovex-host: unknown option \"--bogus\"");
    EXPECT_EQ(run.errors[1], "Try 'caldrovex-host --help' for more information.");
    EXPECT_TRUE(run.output.empty());

    auto version = hostCommand(scratch, {"--version"});
    EXPECT_EQ(version.output, std::vector<std::string>{"caldrovex-host 0.1.0"});
}

}  // namespace
