#include "HostFixture.h"

#include <unistd.h>

#include <variant>

#include "trust/HostIdentity.h"
#include "trust/SecureStore.h"

namespace caldrovex::test {

void HostFixture::SetUpTestSuite() {
    dataFolder = std::filesystem::temp_directory_path() /
                 ("caldrovex-host-test-" + std::to_string(getpid()));
    std::filesystem::remove_all(dataFolder);
    identitySecrets = std::make_shared<MemorySecretBackend>();
    SecureStore store(identitySecrets);
    IdentityPasswordStore passwords{[store](const std::string& account, bool interaction) {
                                        return store.read(account, interaction);
                                    },
                                    [store](const std::string& account, const std::string& value) {
                                        store.write(value, account);
                                    }};
    HostIdentity identity(dataFolder, passwords, false);
}

void HostFixture::TearDownTestSuite() {
    std::filesystem::remove_all(dataFolder);
    dataFolder.clear();
    identitySecrets.reset();
}

void HostFixture::SetUp() {
    queue = std::make_shared<platform::ManualQueue>("main");
    onMainQueue.emplace(*queue);
    secrets = std::make_shared<MemorySecretBackend>();
    // The identity made once for the program: its password moves into this test's keyring.
    HostIdentity probe(dataFolder,
                       IdentityPasswordStore{[](const std::string& account, bool) {
                                                 return identitySecrets->peek(account);
                                             },
                                             [](const std::string&, const std::string&) {}},
                       false);
    auto account = HostIdentity::passwordAccount(probe.hostID());
    secrets->put(account, *identitySecrets->peek(account));
    settings = std::make_shared<MemorySettingsStore>();
    permissions = std::make_shared<FakePermissionProbe>();
    clipboard = std::make_shared<FakeClipboard>();
    power = std::make_shared<FakePowerControl>();
    captureService = std::make_shared<SyntheticCaptureService>(queue);
    captureService->displayList = {{11, "DP-1", 0, 0, 2560, 1440},
                                   {12, "HDMI-1", 2560, 0, 1920, 1080}};
    encoderLog = std::make_shared<FakeEncoderSession::Log>();
    screen = ScreenStreamer::make(captureService, queue, queue, queue,
                                  FakeEncoderSession::factory(encoderLog));
    InputController::Callbacks callbacks{
        [this] { return permissions->injection; },
        [](uint32_t) {
            return DisplayRect{0, 0, 1920, 1080};
        },
        [this](const InputEvent& event) { injected.push_back(event); }};
    input = std::make_shared<InputController>(std::move(callbacks), queue, 1);
    curtain = std::make_shared<FakePrivacyCurtain>();
    localInput = std::make_shared<FakeLocalInputWatcher>(queue);
    screenChanges = std::make_shared<ScreenChangeNotifier>();
    relay = std::make_unique<ScriptedRelay>(queue);
    // Numbered rather than named after the test: a unix socket's path must stay short.
    static int bridges = 0;
    bridgeFolder = dataFolder.parent_path() / ("caldrovex-bridge-" + std::to_string(getpid()) +
                                               "-" + std::to_string(++bridges));
    std::filesystem::create_directories(bridgeFolder);
    std::filesystem::permissions(bridgeFolder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    bridgePath = bridgeFolder / "caldrovex-host-relay.sock";
}

void HostFixture::TearDown() {
    host.reset();
    // Whatever the host left queued (closing connections) runs and finds it gone.
    queue->advance(1);
    onMainQueue.reset();
    std::filesystem::permissions(bridgeFolder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    std::filesystem::remove_all(bridgeFolder);
}

HostEnvironment HostFixture::environment() {
    HostEnvironment environment;
    environment.mainQueue = queue;
    environment.clock = queue;
    environment.makeQueue = [this](const std::string& label) -> platform::QueuePtr {
        queueLabels.push_back(label);
        return queue;
    };
    environment.secrets = secrets;
    environment.settings = settings;
    environment.computerName = [this] { return computerName; };
    environment.permissions = permissions;
    environment.privateAddresses = [this](bool includeLocal) {
        auto addresses = vpnAddresses;
        if (includeLocal)
            addresses.insert(addresses.end(), localAddresses.begin(), localAddresses.end());
        return addresses;
    };
    environment.makeListener = [this](const platform::net::Parameters& parameters) {
        return listeners.make(parameters);
    };
    environment.dataFolder = dataFolder;
    environment.bridgePath = bridgePath;
    environment.relay = relayConfiguration;
    environment.makeRelayAgent = [this](const RelayEndpoint&, const std::string&) {
        ++agentsMade;
        return RelayAgent::make(
            queue,
            [this](const std::vector<std::string>& keys) {
                return relay->makeLink(RelayLink::Role::host, keys);
            },
            [this] { return makeStream(queue).first; });
    };
    environment.loginItemEnabled = [] { return false; };
    environment.input = input;
    environment.clipboard = clipboard;
    environment.power = power;
    environment.screen = screen;
    environment.curtain = curtain;
    environment.localInput = localInput;
    environment.screenChanges = screenChanges;
    return environment;
}

std::shared_ptr<HostModel> HostFixture::makeHost() {
    host = HostModel::create(environment());
    host->onChange = [this] { ++changes; };
    settle();
    return host;
}

std::shared_ptr<HostModel> HostFixture::makeSharingHost() {
    settings->values["hostEnabled"] = true;
    makeHost();
    listenersReady();
    return host;
}

void HostFixture::listenersReady() {
    for (auto& listener : listeners.liveListeners())
        listener->reportState({platform::net::StateKind::ready, std::nullopt});
    settle();
}

std::unique_ptr<TestDevice> HostFixture::connect(const std::string& address,
                                                 const std::string& remoteHost) {
    auto device = std::make_unique<TestDevice>(queue, queue, remoteHost);
    auto listener = listeners.live(address);
    EXPECT_NE(listener, nullptr) << "no listener on " << address;
    if (listener) listener->deliver(device->hostEnd);
    settle();
    return device;
}

std::unique_ptr<TestDevice> HostFixture::connectRelayed() {
    auto device = std::make_unique<TestDevice>(queue, queue, "relay-peer");
    host->accept(device->hostEnd, "relay");
    settle();
    return device;
}

std::shared_ptr<FakeListener> HostFixture::bridge() const {
    for (auto& listener : listeners.liveListeners()) {
        const auto& endpoint = listener->parameters.requiredLocalEndpoint;
        if (endpoint && std::holds_alternative<platform::net::UnixPath>(*endpoint)) return listener;
    }
    return nullptr;
}

std::vector<std::string> HostFixture::openLinkRequests() const {
    std::vector<std::string> requests;
    for (size_t index : relay->open()) requests.push_back(relay->links[index]->received);
    return requests;
}

ControlMessage HostFixture::pairMessage(const std::string& deviceID, const std::string& secret,
                                        const std::string& name) const {
    auto message = ControlMessage::make("pair");
    message.hostID = host->debugState().identity->hostID();
    message.deviceID = deviceID;
    message.deviceName = name;
    message.secret = secret;
    message.features = std::vector<std::string>{"frameAck"};
    return message;
}

ControlMessage HostFixture::authenticateMessage(const std::string& deviceID,
                                                const std::string& token) const {
    auto message = ControlMessage::make("authenticate");
    message.hostID = host->debugState().identity->hostID();
    message.deviceID = deviceID;
    message.token = token;
    return message;
}

std::unique_ptr<TestDevice> HostFixture::pairNewDevice(const std::string& deviceID,
                                                       const std::string& name,
                                                       const std::string& remoteHost) {
    host->makeInvitation();
    EXPECT_TRUE(host->published().invitation.has_value());
    auto secret = host->published().invitation ? host->published().invitation->secret : "";
    auto device = connect(vpnAddresses.front(), remoteHost);
    device->send(pairMessage(deviceID, secret, name));
    settle();
    auto paired = device->receivedOf("paired");
    EXPECT_EQ(paired.size(), 1u);
    if (!paired.empty() && paired.front().token) tokens_[deviceID] = *paired.front().token;
    return device;
}

std::unique_ptr<TestDevice> HostFixture::authenticate(const std::string& deviceID, bool takeover,
                                                      const std::string& remoteHost) {
    auto device = connect(vpnAddresses.front(), remoteHost);
    auto message = authenticateMessage(deviceID, tokenOf(deviceID));
    if (takeover) message.takeover = true;
    device->send(message);
    settle();
    return device;
}

}  // namespace caldrovex::test
