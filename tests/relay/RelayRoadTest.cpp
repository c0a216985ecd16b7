// The whole relay road below the host controller, on loopback: a relay agent keeps links at
// the real caldrovex-relay and splices paired ones into a TLS server on a unix socket (standing
// in for the host's bridge); devices come in through a RelayForwarder, or as the real
// caldrovex-device. The device's TLS session runs end to end: the pin it checks is the bridge's
// certificate, which the relay never holds.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/AsioMainQueue.h"
#include "protocol/PacketConnection.h"
#include "reach/RelayAgent.h"
#include "reach/RelayForwarder.h"
#include "relay/RelayProcess.h"
#include "trust/Digest.h"

using namespace caldrovex;
using namespace caldrovex::test;

namespace {

std::string hashOf(const CertificateDer& der) {
    return Digest::sha256Hex(
        std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
}

const std::string kHostKey(64, '7');

// The host's side: a TLS listener on a unix socket and an agent that splices into it. What
// each accepted (TLS, server side, unstarted) connection does is the test's `serve`.
class BridgeHost {
public:
    using Serve = std::function<void(ConnectionPtr)>;

    BridgeHost(const RelayEndpoint& relay, Serve serve)
        : listener_(tlsServerParameters(UnixPath{folder_.file("bridge.sock")})) {
        listener_.states->waitFor(StateKind::ready);
        listener_.listener->setNewConnectionHandler(std::move(serve));
        agent = RelayAgent::make(relay, folder_.file("bridge.sock"));
        agent->onStatus = statuses->callback();
        agent->update({kHostKey});
        agent->start();
    }
    ~BridgeHost() { agent->stop(); }

    // The agent reports `ready` (a link waits at the relay).
    void waitReady() {
        statuses->waitUntil(
            [](const RelayStatus& status) { return status == RelayStatus::ready(); });
    }

    std::shared_ptr<RelayAgent> agent;
    std::shared_ptr<EventLog<RelayStatus>> statuses = EventLog<RelayStatus>::make();

private:
    TempDir folder_;
    TestListener listener_;
};

// Answers every byte it reads with the same bytes.
void echoing(ConnectionPtr connection) {
    connection->receive(1, 65536,
                        [connection](std::optional<Bytes> data, bool isComplete, auto error) {
                            if (isComplete || error || !data) return connection->cancel();
                            connection->send(*data, nullptr);
                            echoing(connection);
                        });
}

void echo(ConnectionPtr connection) {
    connection->start(SerialQueue::make("caldrovex.test.bridge"));
    echoing(connection);
}

TEST(RelayRoad, ADevicesTlsSessionRunsThroughTheRelayIntoTheBridge) {
    RelayProcess relay;
    BridgeHost host(relay.endpoint(), echo);
    host.waitReady();

    auto queue = SerialQueue::make("caldrovex.test.device");
    auto forwarder =
        RelayForwarder::make(relay.endpoint(), RelayEndpoint::rendezvous(kHostKey), queue);
    auto port = EventLog<std::optional<uint16_t>>::make();
    forwarder->onReady = port->callback();
    queue->sync([&] { forwarder->start(); });
    const auto local = port->waitFor(0);
    ASSERT_TRUE(local.has_value());

    // The device's own TLS client, pinning the bridge's certificate as a device pins its host.
    auto seen = EventLog<std::string>::make();
    Parameters parameters;
    parameters.tls = TlsOptions{};
    parameters.tls->verify = [seen](const std::vector<CertificateDer>& chain) {
        seen->callback()(chain.empty() ? "" : hashOf(chain.front()));
        return !chain.empty() && hashOf(chain.front()) == hashOf(TestCertificate::shared().der);
    };
    auto device = makeConnection(HostPort{"127.0.0.1", *local}, parameters);
    auto states = StateLog::make();
    device->setStateHandler(states->handler());
    device->start(queue);
    states->waitFor(StateKind::ready);
    EXPECT_EQ(seen->waitFor(0), hashOf(TestCertificate::shared().der));
    EXPECT_NE(seen->waitFor(0), relay.hash) << "the relay's certificate is not what the device saw";

    std::string big(300'000, 'x');
    auto sent = sendFuture(device, bytesOf(big));
    EXPECT_EQ(receiveText(device, big.size()), big);
    EXPECT_EQ(await(sent, "the send"), std::nullopt);

    // Stopping the agent cuts the relayed session.
    host.agent->stop();
    auto end = receiveFuture(device, 1, 1);
    const auto ended = await(end, "the end of the session");
    EXPECT_TRUE(ended.isComplete || ended.error.has_value());
}

TEST(RelayRoad, AForwarderForAValueNoHostHoldsHearsOffline) {
    RelayProcess relay;
    auto queue = SerialQueue::make("caldrovex.test.device");
    auto forwarder =
        RelayForwarder::make(relay.endpoint(), RelayEndpoint::rendezvous(kHostKey), queue);
    auto port = EventLog<std::optional<uint16_t>>::make();
    auto offline = EventLog<bool>::make();
    forwarder->onReady = port->callback();
    forwarder->onOffline = [offline] { offline->callback()(true); };
    queue->sync([&] { forwarder->start(); });
    auto device = makeConnection(HostPort{"127.0.0.1", *port->waitFor(0)}, {});
    device->start(queue);
    EXPECT_TRUE(offline->waitFor(0));
    auto end = receiveFuture(device, 1, 1);
    EXPECT_TRUE(await(end, "the local connection to close").isComplete);
}

// ---- The reference device through the relay ---------------------------------------------------

// Plays just enough of a host: answers "authenticate" with "hello".
void helloHost(ConnectionPtr connection) {
    auto queue = SerialQueue::make("caldrovex.test.host");
    auto channel = PacketConnection::make(connection, queue, platform::SystemClock::shared());
    std::weak_ptr<PacketConnection> weak = channel;
    channel->onControl = [weak, channel](ControlMessage message) {
        auto self = weak.lock();
        if (!self) return;
        if (message.type == "authenticate") {
            auto hello = ControlMessage::make("hello");
            hello.hostID = "HOST-1";
            self->send(hello);
        } else if (message.type == "disconnect") {
            self->cancel();
        }
    };
    channel->onClose = [channel](std::optional<std::string>) { channel->onControl = nullptr; };
    channel->start();
}

struct DeviceResult {
    int status;
    std::string transcript;
};

DeviceResult runDevice(const TempDir& folder, const nlohmann::json& state) {
    const std::string file = folder.file("device.json");
    std::ofstream(file) << state.dump();
    ChildProcess device(relayBinary("caldrovex-device"),
                        {"--state", file, "--relay", "--timeout", "30", "connect"}, {});
    const auto status = device.wait(std::chrono::milliseconds(60'000));
    return {status.value_or(-1), device.transcript()};
}

TEST(RelayRoad, TheReferenceDeviceConnectsThroughTheRelayAndChecksTheHostsPin) {
    RelayProcess relay;
    BridgeHost host(relay.endpoint(), helloHost);
    host.waitReady();
    TempDir folder;
    nlohmann::json state{
        {"deviceID", "DEVICE-1"},
        {"deviceName", "test device"},
        {"token", "token"},
        {"hostID", "HOST-1"},
        {"hostName", "test host"},
        {"addresses", nlohmann::json::array()},
        {"port", 0},
        {"certificateHash", hashOf(TestCertificate::shared().der)},
        {"relay", "127.0.0.1:" + std::to_string(relay.port)},
        {"relayKey", RelayEndpoint::rendezvous(kHostKey)},
        {"relayCertificateHash", relay.hash},
    };
    const auto admitted = runDevice(folder, state);
    EXPECT_EQ(admitted.status, 0) << admitted.transcript;
    EXPECT_NE(admitted.transcript.find(R"("type":"hello")"), std::string::npos);

    // The relay stays out of the pin: a host certificate other than the pinned one is refused.
    state["certificateHash"] = std::string(64, '0');
    host.waitReady();
    const auto mismatch = runDevice(folder, state);
    EXPECT_EQ(mismatch.status, 4) << mismatch.transcript;

    state["relayKey"] = RelayEndpoint::rendezvous(std::string(64, '8'));
    const auto offline = runDevice(folder, state);
    EXPECT_EQ(offline.status, 3) << offline.transcript;
    EXPECT_NE(offline.transcript.find("it says the host is offline"), std::string::npos)
        << offline.transcript;
}

}  // namespace
