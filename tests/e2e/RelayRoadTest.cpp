// The relay road end to end, as a user without a VPN runs it: the real caldrovex-relay on
// loopback, the real headless caldrovex-host serving no address of its own (the relay named to
// it by CALDROVEX_RELAY, pinned), and the reference device pairing, reconnecting and streaming
// through the relay. The device's TLS session ends at the host's bridge: the pin it checks is
// the host's, and the relay only carries bytes.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "e2e/HostHarness.h"
#include "reach/RelayAgent.h"
#include "reach/RelayLink.h"
#include "relay/RelayProcess.h"

using namespace caldrovex;
using namespace caldrovex::test;
using nlohmann::json;

namespace {

// caldrovex-device's exit status when no road reached the host.
constexpr int kDeviceUnreachable = 3;

class RelayRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr)
            << "run this program under tests/run-with-keyring (ctest does)";
        std::ofstream(scratch.root() / "config" / "Caldrovex" / "defaults.json", std::ios::trunc)
            << R"({"relayEnabled": true})";
    }

    // The host, reaching the relay at `relayText` ("HOST:PORT#SHA256"), and sharing.
    void startHost(const std::string& relayText) {
        host = std::make_unique<HostProcess>(
            scratch, "", std::vector<std::string>{},
            std::map<std::string, std::string>{{"CALDROVEX_RELAY", relayText}});
        ASSERT_TRUE(host->next("running: yes", 0)) << host->process.transcript();
    }
    std::string relayText() const {
        return "127.0.0.1:" + std::to_string(relay.port) + "#" + relay.hash;
    }

    json deviceState() const {
        std::ifstream in(scratch.stateFile());
        return json::parse(in);
    }

    // Relay log lines (its standard error) that hold every one of `words`.
    size_t relayLines(const std::vector<std::string>& words) const {
        size_t count = 0;
        for (const auto& line : relay.process.errors()) {
            bool all = true;
            for (const auto& word : words) all = all && line.find(word) != std::string::npos;
            count += all ? 1 : 0;
        }
        return count;
    }
    // Waits until the relay has logged at least `count` such lines.
    bool waitForRelayLines(const std::vector<std::string>& words, size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + kProcessWait;
        while (relayLines(words) < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    RelayProcess relay;
    UserScratch scratch;
    std::unique_ptr<HostProcess> host;
};

TEST_F(RelayRoadTest, PairsReconnectsAndStreamsThroughTheRelayAndARevokedDeviceHearsOffline) {
    startHost(relayText());

    // The invitation names only the relay; the host registers its key before the device comes.
    const size_t before = host->lines();
    const std::string link = host->pair();
    ASSERT_TRUE(host->next("relay: Reachable from anywhere", before)) << host->process.transcript();
    auto paired = runDevice(scratch, {"--relay-pin", relay.hash, "pair", link});
    ASSERT_EQ(paired.status, 0) << paired.transcript() << host->process.transcript();
    const auto pairedReply = paired.reply("paired");
    ASSERT_TRUE(pairedReply && pairedReply->relayKey) << paired.transcript();
    EXPECT_EQ(pairedReply->relay, "127.0.0.1:" + std::to_string(relay.port));
    EXPECT_TRUE(paired.reply("hello")) << paired.transcript();
    EXPECT_EQ(relayLines({"paired for"}), 1u) << "the pairing went through the relay";
    const std::string deviceID = deviceState().value("deviceID", "");

    // The host registers the device's own key; the device comes back with it.
    const std::string value = pairedReply->relayKey->substr(0, 8);
    ASSERT_TRUE(waitForRelayLines({"waiting under", value}, 1)) << relay.process.transcript();
    auto again = runDevice(scratch, {"connect"});
    EXPECT_EQ(again.status, 0) << again.transcript() << host->process.transcript();
    EXPECT_TRUE(again.reply("hello")) << again.transcript();

    // A stream through the relay: the device decodes pictures of the host's screen.
    ASSERT_TRUE(waitForRelayLines({"waiting under", value}, 2)) << relay.process.transcript();
    ChildProcess viewer(binary("caldrovex-device"),
                        {"--state", scratch.stateFile().string(), "--timeout", "45", "stream",
                         "--log-frames", "--probe", "0.5,0.5"},
                        scratch.environment());
    EXPECT_TRUE(viewer.waitForLine(
        [](const std::string& line) {
            return line.find("\"event\":\"frame\"") != std::string::npos;
        },
        0, kProcessWait))
        << viewer.transcript() << host->process.transcript();
    viewer.stop(SIGTERM, kProcessWait);

    // Revoked: the host's links carrying the device's key (both replacements of the paired
    // ones wait too) leave the relay, which then has no host for the device.
    ASSERT_TRUE(waitForRelayLines({"waiting under", value}, 4)) << relay.process.transcript();
    const size_t left = relayLines({"left while waiting"});
    ASSERT_TRUE(host->command("revoke " + deviceID, "revoked: ")) << host->process.transcript();
    ASSERT_TRUE(waitForRelayLines({"left while waiting"}, left + RelayAgent::kIdleLinks))
        << relay.process.transcript();
    auto refused = runDevice(scratch, {"connect"});
    EXPECT_EQ(refused.status, kDeviceUnreachable) << refused.transcript();
    EXPECT_NE(refused.transcript().find("it says the host is offline"), std::string::npos)
        << refused.transcript();
}

TEST_F(RelayRoadTest, ARelayPresentingAnotherCertificateIsRefusedByTheHost) {
    startHost("127.0.0.1:" + std::to_string(relay.port) + "#" + std::string(64, '0'));
    const size_t before = host->lines();
    host->pair();
    auto status = host->next("relay: Not reachable right now", before);
    ASSERT_TRUE(status) << host->process.transcript();
    EXPECT_NE(status->find(RelayLink::kPinMismatchMessage), std::string::npos) << *status;
    EXPECT_EQ(relayLines({"waiting under"}), 0u) << "the host sent the relay no key";
}

}  // namespace
