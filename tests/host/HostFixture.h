#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/HostModel.h"
#include "input/InputEvent.h"
#include "platform/ManualQueue.h"
#include "support/FakeClipboard.h"
#include "support/FakeEncoderSession.h"
#include "support/FakeListener.h"
#include "support/FakeLocalInputWatcher.h"
#include "support/FakePermissionProbe.h"
#include "support/FakePowerControl.h"
#include "support/FakePrivacyCurtain.h"
#include "support/MemorySettingsStore.h"
#include "support/ScriptedRelay.h"
#include "support/SyntheticCaptureService.h"
#include "support/TestDevice.h"
#include "trust/MemorySecretBackend.h"

namespace caldrovex::test {

// A host controller on virtual time: one ManualQueue is the main queue, the clock and every
// connection's and listener's queue, so each step of an exchange runs when the test says.
// Listeners are fakes, devices speak the framing over in-memory connections, the keyring is
// in memory. The host identity (an RSA key, slow to make) is made once per test suite and
// its password copied into each test's fresh keyring.
class HostFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    HostEnvironment environment();
    // Creates the host (reading the settings as they stand now).
    std::shared_ptr<HostModel> makeHost();
    // Creates the host with sharing on and every listener ready.
    std::shared_ptr<HostModel> makeSharingHost();

    // Runs everything that is due now.
    void settle() { queue->runReady(); }
    void advance(double seconds) { queue->advance(seconds); }

    // Reports `ready` on every live listener.
    void listenersReady();
    // A device connected through the live listener of `address`, appearing to come from
    // `remoteHost`. Settled: the host has taken it in (or refused it) on return.
    std::unique_ptr<TestDevice> connect(const std::string& address = "100.64.0.1",
                                        const std::string& remoteHost = "100.100.1.1");
    // A device connected through the relay bridge's accept path.
    std::unique_ptr<TestDevice> connectRelayed();
    // The live bridge listener, or null.
    std::shared_ptr<FakeListener> bridge() const;
    // The request lines the relay received on its open links, oldest first.
    std::vector<std::string> openLinkRequests() const;

    ControlMessage pairMessage(const std::string& deviceID, const std::string& secret,
                               const std::string& name = "Ada's Phone") const;
    ControlMessage authenticateMessage(const std::string& deviceID, const std::string& token) const;
    // Opens an invitation and pairs a new device with it; returns the device, in session.
    std::unique_ptr<TestDevice> pairNewDevice(const std::string& deviceID,
                                              const std::string& name = "Ada's Phone",
                                              const std::string& remoteHost = "100.100.1.1");
    // Authenticates an already paired device on a new connection.
    std::unique_ptr<TestDevice> authenticate(const std::string& deviceID, bool takeover = false,
                                             const std::string& remoteHost = "100.100.1.2");
    // The token a device received when it paired.
    std::string tokenOf(const std::string& deviceID) const { return tokens_.at(deviceID); }

    std::string hostID() const { return host->debugState().identity->hostID(); }
    size_t pendingCount() const { return host->debugState().pendingPeers.size(); }

    std::shared_ptr<platform::ManualQueue> queue;
    // The test body plays the main queue: it calls the host directly, as queued work would.
    std::optional<platform::ManualQueue::Entered> onMainQueue;
    std::shared_ptr<MemorySecretBackend> secrets;
    std::shared_ptr<MemorySettingsStore> settings;
    std::shared_ptr<FakePermissionProbe> permissions;
    std::shared_ptr<FakeClipboard> clipboard;
    std::shared_ptr<FakePowerControl> power;
    // The real screen streamer over a synthetic capture service, encoding with a fake.
    std::shared_ptr<SyntheticCaptureService> captureService;
    std::shared_ptr<FakeEncoderSession::Log> encoderLog;
    std::shared_ptr<ScreenStreamer> screen;
    // Every event the input controller delivered to the desktop.
    std::vector<InputEvent> injected;
    std::shared_ptr<InputController> input;
    std::shared_ptr<FakePrivacyCurtain> curtain;
    std::shared_ptr<FakeLocalInputWatcher> localInput;
    std::shared_ptr<ScreenChangeNotifier> screenChanges;
    FakeListenerFactory listeners;
    // Where the relay is (by default a name that resolves nowhere; its links are scripted),
    // and a private folder for the bridge's socket.
    RelayConfiguration relayConfiguration =
        RelayConfiguration::resolve(std::nullopt, std::string("relay.example.invalid"));
    std::filesystem::path bridgeFolder;
    std::filesystem::path bridgePath;
    // The relay's side of every link the host's agents open, and how many agents were made.
    std::unique_ptr<ScriptedRelay> relay;
    int agentsMade = 0;
    std::vector<std::string> queueLabels;
    // What the private network offers: VPN addresses, and local ones when they are included.
    std::vector<std::string> vpnAddresses{"100.64.0.1"};
    std::vector<std::string> localAddresses;
    std::optional<std::string> computerName = "Studio";
    std::shared_ptr<HostModel> host;
    int changes = 0;

    static inline std::filesystem::path dataFolder;
    static inline std::shared_ptr<MemorySecretBackend> identitySecrets;

private:
    std::map<std::string, std::string> tokens_;
};

// Fixed device ids (UUID text).
inline const std::string kDeviceA = "0B9A3F52-6E1D-4C7B-9A08-1F2E3D4C5B6A";
inline const std::string kDeviceB = "7C1D2E3F-4A5B-4C6D-8E9F-0A1B2C3D4E5F";
inline const std::string kDeviceC = "A1B2C3D4-E5F6-4A7B-8C9D-0E1F2A3B4C5D";

}  // namespace caldrovex::test
