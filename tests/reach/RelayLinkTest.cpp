// The relay link's line protocol, first on virtual time over in-memory streams (so each case
// decides exactly which bytes arrive in which read), then against a scripted relay speaking
// TLS on loopback (certificate pins, a connection handed over live, a relay that is not there).

#include <gtest/gtest.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cctype>

#include "net/LoopbackHarness.h"
#include "reach/RelayLink.h"
#include "support/EventLog.h"
#include "support/ScriptedRelay.h"
#include "trust/Digest.h"

using namespace caldrovex;
using namespace caldrovex::test;
using Kind = RelayLink::Outcome::Kind;

namespace {

std::string describe(const RelayLink::Outcome& outcome) {
    switch (outcome.kind) {
        case Kind::paired:
            return "paired";
        case Kind::waiting:
            return "waiting";
        case Kind::offline:
            return "offline";
        case Kind::failed:
            return "failed: " + outcome.message;
    }
    return "?";
}

const std::string kKeyA(64, 'a');
const std::string kKeyB(64, 'b');

class RelayLinkLines : public ::testing::Test {
protected:
    std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
    ScriptedRelay relay{queue};
    std::vector<RelayLink::Outcome> outcomes;

    std::shared_ptr<RelayLink> startLink() {
        auto link = relay.makeLink(RelayLink::Role::host, {kKeyA, kKeyB});
        link->onOutcome = [this](RelayLink::Outcome outcome) {
            outcomes.push_back(std::move(outcome));
        };
        link->start();
        queue->runReady();
        return link;
    }

    std::vector<std::string> described() const {
        std::vector<std::string> texts;
        for (const auto& outcome : outcomes) texts.push_back(describe(outcome));
        return texts;
    }
};

TEST_F(RelayLinkLines, SendsOneRequestLineOnceReady) {
    auto link = startLink();
    ASSERT_EQ(relay.links.size(), 1u);
    EXPECT_EQ(relay.links[0]->received, "CALDROVEX/2 HOST " + kKeyA + " " + kKeyB + "\n");
    EXPECT_TRUE(outcomes.empty());
    EXPECT_EQ(RelayLink::requestLine(RelayLink::Role::device, {kKeyA}),
              "CALDROVEX/2 DEVICE " + kKeyA + "\n");
}

TEST_F(RelayLinkLines, RepliesAsTheyArriveInReads) {
    const std::string unexpected = std::string("failed: ") + RelayLink::kUnexpectedMessage;
    const std::string closed = std::string("failed: ") + RelayLink::kClosedMessage;
    struct Case {
        const char* name;
        std::vector<std::string> reads;  // each arrives in one read
        bool hangUp;                     // the relay ends its stream after them
        std::vector<std::string> expected;
        bool stillOpen;
    };
    const std::string line800(800, 'x');
    const Case cases[] = {
        {"keep-alive and wait in one read", {"KEEP\nWAIT\n"}, false, {"waiting"}, true},
        {"wait twice", {"WAIT\n", "KEEP\n", "WAIT\n"}, false, {"waiting", "waiting"}, true},
        {"a reply split across reads", {"WA", "IT", "\n"}, false, {"waiting"}, true},
        {"offline", {"OFFLINE\n"}, false, {"offline"}, false},
        {"full", {"FULL\n"}, false, {std::string("failed: ") + RelayLink::kBusyMessage}, false},
        {"carriage return before the line feed", {"PAIRED\r\n"}, false, {unexpected}, false},
        {"lower case", {"wait\n"}, false, {unexpected}, false},
        {"empty line", {"\n"}, false, {unexpected}, false},
        {"close right after wait", {"WAIT\n"}, true, {"waiting", closed}, false},
        {"close in the middle of a line", {"WAI"}, true, {closed}, false},
        // 600 bytes arrive as a read of 512 and one of 88: the first already leaves too much.
        {"600 bytes without a line feed", {std::string(600, 'x')}, false, {closed}, false},
        {"511 bytes without a line feed may wait", {std::string(511, 'x')}, false, {}, true},
        // A line whose line feed arrived is a line, however long: an unknown one here.
        {"an 800-byte line in pieces",
         {line800.substr(0, 500), line800.substr(500) + "\n"},
         false,
         {unexpected},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        outcomes.clear();
        auto link = startLink();
        auto& far = relay.links.back();
        for (const auto& read : c.reads) {
            far->send(read);
            queue->runReady();
        }
        if (c.hangUp) far->hangUp();
        queue->runReady();
        EXPECT_EQ(described(), c.expected);
        EXPECT_EQ(!far->ended, c.stillOpen) << "the link closes its connection when it ends";
    }
}

TEST_F(RelayLinkLines, PairedHandsOverTheConnectionWithTheBytesThatFollowed) {
    auto link = startLink();
    auto& far = relay.links[0];
    const std::string after(100, 'z');
    far->send("WAIT\nPAIRED\n" + after);
    queue->runReady();
    ASSERT_EQ(described(), (std::vector<std::string>{"waiting", "paired"}));
    EXPECT_EQ(outcomes[1].leftover, bytes(after));
    ASSERT_TRUE(outcomes[1].connection);
    EXPECT_FALSE(far->ended) << "a paired connection stays open";

    // The connection is the live one: later bytes go to its new owner, not to the link.
    std::string later;
    outcomes[1].connection->receive(1, 100, [&](std::optional<Bytes> data, bool, auto) {
        if (data) later.assign(data->begin(), data->end());
    });
    far->send("OFFLINE\n");
    queue->runReady();
    EXPECT_EQ(later, "OFFLINE\n");
    EXPECT_EQ(outcomes.size(), 2u);
}

TEST_F(RelayLinkLines, CancelReportsNothingEvenWithPairedAlreadyArrived) {
    auto link = startLink();
    auto& far = relay.links[0];
    far->send("PAIRED\nhello");  // its read completion is queued, not yet run
    link->cancel();
    queue->runReady();
    EXPECT_TRUE(outcomes.empty());
    EXPECT_TRUE(far->ended) << "the connection is closed, not handed over";
}

TEST_F(RelayLinkLines, CancelFromTheOutcomeCallbackStopsTheRemainingLines) {
    auto link = relay.makeLink(RelayLink::Role::host, {kKeyA});
    link->onOutcome = [&](RelayLink::Outcome outcome) {
        outcomes.push_back(std::move(outcome));
        link->cancel();
    };
    link->start();
    queue->runReady();
    relay.links[0]->send("WAIT\nWAIT\nPAIRED\n");
    queue->runReady();
    EXPECT_EQ(described(), (std::vector<std::string>{"waiting"}));
    EXPECT_TRUE(relay.links[0]->ended);
}

// ---- On loopback, with TLS ---------------------------------------------------------------------

using OutcomeLog = EventLog<RelayLink::Outcome>;

std::string certificateHash() {
    const auto& der = TestCertificate::shared().der;
    return Digest::sha256Hex(
        std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

class RelayLinkLoopback : public ::testing::Test {
protected:
    TestListener relay{tlsServerParameters(HostPort{"127.0.0.1", 0})};
    std::shared_ptr<SerialQueue> queue = SerialQueue::make("caldrovex.relay.agent");
    std::shared_ptr<OutcomeLog> log = OutcomeLog::make();

    RelayEndpoint endpoint(std::optional<std::string> pin) {
        relay.states->waitFor(StateKind::ready);
        auto port = std::get<HostPort>(*relay.listener->localEndpoint()).port;
        return RelayEndpoint{"127.0.0.1", port, std::move(pin)};
    }

    std::shared_ptr<RelayLink> startLink(const RelayEndpoint& where) {
        auto link = RelayLink::make(where, RelayLink::Role::host, {kKeyA}, queue);
        link->onOutcome = log->callback();
        link->start();
        return link;
    }

    ConnectionPtr acceptRelaySide() {
        auto server = relay.connection(0);
        server->start(SerialQueue::make("caldrovex.test.relay"));
        return server;
    }
};

TEST_F(RelayLinkLoopback, UpperCasePinMatchesAndThePairedConnectionCarriesBothWays) {
    auto link = startLink(endpoint(upper(certificateHash())));
    auto server = acceptRelaySide();
    const std::string request = "CALDROVEX/2 HOST " + kKeyA + "\n";
    EXPECT_EQ(receiveText(server, request.size()), request);

    server->send(bytesOf("WAIT\n"), nullptr);
    EXPECT_EQ(log->waitFor(0).kind, Kind::waiting);
    server->send(bytesOf("PAIRED\nfirst device bytes"), nullptr);
    auto paired = log->waitFor(1);
    ASSERT_EQ(paired.kind, Kind::paired);

    // Whatever of the device's bytes did not come with the pairing line follows on the
    // connection itself, and the host's answer reaches the relay side.
    std::string leftover(paired.leftover.begin(), paired.leftover.end());
    const std::string expected = "first device bytes";
    leftover += receiveText(paired.connection, expected.size() - leftover.size());
    EXPECT_EQ(leftover, expected);
    auto answer = sendFuture(paired.connection, bytesOf("host answer"));
    EXPECT_EQ(await(answer, "the host's answer"), std::nullopt);
    EXPECT_EQ(receiveText(server, 11), "host answer");
    paired.connection->cancel();
}

TEST_F(RelayLinkLoopback, WrongPinFailsBeforeTheKeysAreSent) {
    auto link = startLink(endpoint(std::string(64, '0')));
    auto server = acceptRelaySide();
    auto outcome = log->waitFor(0);
    EXPECT_EQ(describe(outcome), std::string("failed: ") + RelayLink::kPinMismatchMessage);
    EXPECT_EQ(receiveText(server, 1), "") << "the relay never saw a key";
}

TEST_F(RelayLinkLoopback, WithoutPinTheSystemTrustRefusesASelfSignedRelay) {
    auto link = startLink(endpoint(std::nullopt));
    auto server = acceptRelaySide();
    EXPECT_EQ(describe(log->waitFor(0)), std::string("failed: ") + RelayLink::kUntrustedMessage);
}

TEST_F(RelayLinkLoopback, RelayClosingAfterWaitEndsTheLink) {
    auto link = startLink(endpoint(certificateHash()));
    auto server = acceptRelaySide();
    receiveText(server, 1);
    server->send(bytesOf("WAIT\n"), nullptr);
    server->sendEndOfStream(nullptr);
    EXPECT_EQ(log->waitFor(0).kind, Kind::waiting);
    EXPECT_EQ(describe(log->waitFor(1)), std::string("failed: ") + RelayLink::kClosedMessage);
}

TEST(RelayLinkNetwork, NothingListeningFailsWithTheNetworksSentence) {
    // A port that was just free: bound, then released.
    uint16_t port;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        port = probe.local_endpoint().port();
    }
    std::shared_ptr<OutcomeLog> log = OutcomeLog::make();
    auto link =
        RelayLink::make(RelayEndpoint{"127.0.0.1", port, std::string(64, 'a')},
                        RelayLink::Role::host, {kKeyA}, SerialQueue::make("caldrovex.relay.agent"));
    link->onOutcome = log->callback();
    link->start();
    EXPECT_EQ(describe(log->waitFor(0)), "failed: Connection refused");
}

}  // namespace
