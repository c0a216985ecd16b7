#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ManualQueue.h"
#include "platform/net/MemoryConnection.h"
#include "protocol/PacketConnection.h"
#include "support/ControlledConnection.h"
#include "support/PacketPeer.h"

using namespace caldrovex;
using caldrovex::platform::ManualQueue;
using caldrovex::platform::net::MemoryConnection;
using caldrovex::platform::net::NetError;
using caldrovex::platform::net::State;
using caldrovex::platform::net::StateKind;
using caldrovex::test::ControlledConnection;
using caldrovex::test::PacketPeer;
using Bytes = std::vector<uint8_t>;
using Reason = std::optional<std::string>;

namespace {

const std::string kPing = R"({"type":"ping","version":1})";

// A clipboard message whose JSON is exactly `size` bytes long.
ControlMessage messageOfJsonSize(size_t size) {
    ControlMessage message = ControlMessage::make("clipboard");
    message.text = "";
    size_t overhead = message.encode().size();
    message.text = std::string(size - overhead, 'a');
    return message;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// How the fixture builds its connection.
struct Options {
    bool videoReceiver = false;  // sets onVideo (a device-side connection)
    bool controlled = false;     // wraps our end in a ControlledConnection
};

}  // namespace

// One PacketConnection on one end of an in-memory pair, the test's PacketPeer on the other,
// both on one virtual-time queue. Optionally the connection's end is wrapped so the test can
// hold writes, fail reads and report states.
class PacketConnectionTest : public ::testing::Test {
  public:
    void create(Options options = {}) {
        auto [ours, theirs] = MemoryConnection::makePair();
        platform::net::ConnectionPtr end = ours;
        if (options.controlled) end = controlled = std::make_shared<ControlledConnection>(ours);
        connection = PacketConnection::make(end, queue, queue);
        connection->onControl = [this](ControlMessage m) { controls.push_back(std::move(m)); };
        connection->onClose = [this](Reason reason) { closes.push_back(std::move(reason)); };
        connection->onReady = [this] { ++readies; };
        if (options.videoReceiver)
            connection->onVideo = [this](Bytes body) { videos.push_back(std::move(body)); };
        peer = PacketPeer::make(theirs, queue);
    }

    void open(Options options = {}) {
        create(options);
        start();
    }

    void start() {
        connection->start();
        peer->start();
        run();
    }

    void run() { queue->runReady(); }

    // Feeds raw bytes from the peer and returns the close reason, if the connection closed.
    std::optional<Reason> closeAfter(Bytes raw) {
        peer->writeRaw(std::move(raw));
        run();
        if (closes.empty()) return std::nullopt;
        return closes.front();
    }

    void TearDown() override {
        // Let go of everything and let the queue run what that posts, so nothing is left
        // holding the queue.
        connection.reset();
        peer.reset();
        controlled.reset();
        queue->advance(10);
    }

    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>("caldrovex.transport");
    std::shared_ptr<ControlledConnection> controlled;
    std::shared_ptr<PacketConnection> connection;
    std::shared_ptr<PacketPeer> peer;
    std::vector<ControlMessage> controls;
    std::vector<Bytes> videos;
    std::vector<Reason> closes;
    int readies = 0;
};

// --- Framing -----------------------------------------------------------------------------

TEST_F(PacketConnectionTest, ControlMessagesTravelBothWays) {
    open();
    EXPECT_EQ(readies, 1);
    peer->writeControl(kPing);
    ControlMessage hello = ControlMessage::make("hello");
    hello.features = std::vector<std::string>{"frameAck", "warmResume"};
    connection->send(hello);
    run();
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0], ControlMessage::make("ping"));
    ASSERT_EQ(peer->packets.size(), 1u);
    EXPECT_EQ(peer->packets[0].kind, 1);
    EXPECT_EQ(peer->packets[0].body, bytesOf(hello.encode()));
    EXPECT_TRUE(closes.empty());
}

TEST_F(PacketConnectionTest, PacketsSplitAcrossWritesAndJoinedInOneWriteAreRead) {
    open();
    Bytes two = PacketPeer::header(1, static_cast<uint32_t>(kPing.size()));
    two.insert(two.end(), kPing.begin(), kPing.end());
    two.insert(two.end(), two.begin(), two.end());  // two packets back to back
    for (size_t i = 0; i < two.size(); i += 3) {    // dribbled in three bytes at a time
        peer->writeRaw(Bytes(two.begin() + i, two.begin() + std::min(i + 3, two.size())));
        run();
    }
    EXPECT_EQ(controls.size(), 2u);
    EXPECT_TRUE(closes.empty());
}

TEST_F(PacketConnectionTest, SentPacketsCarryKindAndBigEndianLength) {
    create();
    connection->start();
    auto raw = peer->connection;  // read the bytes as they are, without the peer's parser
    raw->start(queue);
    connection->send(messageOfJsonSize(0x1234));
    connection->sendVideo({0xab}, true);
    std::optional<Bytes> controlHeader, video;
    raw->receive(5, 5, [&](std::optional<Bytes> data, bool, auto) {
        controlHeader = data;
        raw->receive(0x1234, 0x1234, [&](auto, bool, auto) {
            raw->receive(7, 7, [&](std::optional<Bytes> data, bool, auto) { video = data; });
        });
    });
    run();
    EXPECT_EQ(controlHeader, (Bytes{1, 0x00, 0x00, 0x12, 0x34}));
    EXPECT_EQ(video, (Bytes{2, 0, 0, 0, 2, 1, 0xab}));
}

TEST_F(PacketConnectionTest, HeaderAndBodyLimits) {
    struct Case {
        const char* note;
        bool videoReceiver;
        Bytes raw;
        std::optional<Reason> expected;  // nullopt: still open
    };
    auto withBody = [](uint8_t kind, Bytes body) {
        Bytes raw = PacketPeer::header(kind, static_cast<uint32_t>(body.size()));
        raw.insert(raw.end(), body.begin(), body.end());
        return raw;
    };
    Bytes largestControl = bytesOf(kPing + std::string(65'536 - kPing.size(), ' '));
    const Case cases[] = {
        {"control of 65,536 bytes is accepted", false, withBody(1, largestControl), std::nullopt},
        {"control of 65,537 bytes", false, PacketPeer::header(1, 65'537),
         Reason("Invalid packet size.")},
        {"control of length 0", false, PacketPeer::header(1, 0), Reason("Invalid packet size.")},
        {"video on a connection without a video handler", false, PacketPeer::header(2, 10),
         Reason("Invalid packet size.")},
        {"video of length 0", true, PacketPeer::header(2, 0), Reason("Invalid packet size.")},
        {"video over 8 MiB", true, PacketPeer::header(2, 8'388'609),
         Reason("Invalid packet size.")},
        {"video of exactly 8 MiB is accepted (header only so far)", true,
         PacketPeer::header(2, 8'388'608), std::nullopt},
        {"length far above every limit", true, PacketPeer::header(1, 0xffffffff),
         Reason("Invalid packet size.")},
        {"kind byte 3", false, PacketPeer::header(3, 10), Reason("Invalid packet header.")},
        {"kind byte 0", true, PacketPeer::header(0, 10), Reason("Invalid packet header.")},
        {"undecodable JSON", false, withBody(1, bytesOf("{nope")),
         Reason("Unsupported protocol message.")},
        {"JSON that is not an object", false, withBody(1, bytesOf("[1]")),
         Reason("Unsupported protocol message.")},
        {"missing version", false, withBody(1, bytesOf(R"({"type":"ping"})")),
         Reason("Unsupported protocol message.")},
        {"version 2", false, withBody(1, bytesOf(R"({"type":"ping","version":2})")),
         Reason("Unsupported protocol message.")},
        {"field out of range", false,
         withBody(1, bytesOf(R"({"type":"input","version":1,"keyCode":70000})")),
         Reason("Unsupported protocol message.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        controls.clear();
        closes.clear();
        open({.videoReceiver = c.videoReceiver});
        EXPECT_EQ(closeAfter(c.raw), c.expected);
        TearDown();
    }
}

TEST_F(PacketConnectionTest, LargestVideoBodyIsDelivered) {
    open({.videoReceiver = true});
    Bytes frame(8'388'607, 0x5a);
    peer->writeVideo(true, frame);
    run();
    ASSERT_EQ(videos.size(), 1u);
    EXPECT_EQ(videos[0].size(), 8'388'608u);
    EXPECT_EQ(videos[0][0], 1);  // the flag byte comes with the body
    EXPECT_TRUE(closes.empty());
}

TEST_F(PacketConnectionTest, HowTheStreamEnds) {
    struct Case {
        const char* note;
        Bytes raw;  // written before the peer ends its side
        Reason expected;
    };
    Bytes whole = PacketPeer::header(1, static_cast<uint32_t>(kPing.size()));
    whole.insert(whole.end(), kPing.begin(), kPing.end());
    Bytes shortBody(whole.begin(), whole.end() - 3);
    const Case cases[] = {
        {"end exactly between two packets", whole, std::nullopt},
        {"end right at the start", {}, std::nullopt},
        {"end inside a header", {1, 0, 0}, std::nullopt},
        {"end inside a body", shortBody, std::nullopt},
        {"a whole header of an unknown kind, then the end",
         {9, 0, 0, 0, 1},
         Reason("Invalid packet header.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        controls.clear();
        closes.clear();
        open();
        peer->writeRaw(c.raw);
        peer->endStream();
        run();
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_EQ(closes[0], c.expected);
        TearDown();
    }
}

TEST_F(PacketConnectionTest, MessageArrivingWithTheEndIsDeliveredThenClosed) {
    open();
    peer->writeControl(kPing);
    peer->endStream();
    run();
    EXPECT_EQ(controls.size(), 1u);
    EXPECT_EQ(closes, std::vector<Reason>{std::nullopt});
}

// --- Network failures ----------------------------------------------------------------------

TEST_F(PacketConnectionTest, NetworkStatesAndErrorsBecomeCloseReasons) {
    struct Case {
        const char* note;
        std::function<void(PacketConnectionTest&)> provoke;
        std::optional<Reason> expected;
    };
    const Case cases[] = {
        {"failed",
         [](auto& t) {
             t.controlled->reportState({StateKind::failed, NetError{"Network is down"}});
         },
         Reason("Network is down")},
        {"waiting counts as failed",
         [](auto& t) {
             t.controlled->reportState({StateKind::waiting, NetError{"No route to host"}});
         },
         Reason("No route to host")},
        {"cancelled",
         [](auto& t) {
             t.controlled->reportState({StateKind::cancelled, std::nullopt});
         },
         Reason(std::nullopt)},
        {"preparing changes nothing",
         [](auto& t) {
             t.controlled->reportState({StateKind::preparing, std::nullopt});
         },
         std::nullopt},
        {"read error inside a packet",
         [](auto& t) {
             t.controlled->failNextReceive(NetError{"Connection reset by peer"});
             t.peer->writeControl(kPing);  // the pending header read gets this; the body read fails
         },
         Reason("Connection reset by peer")},
        {"write error",
         [](auto& t) {
             t.controlled->holdWrites();
             t.connection->send(ControlMessage::make("pong"));
             t.run();
             t.controlled->failWrites(NetError{"Broken pipe"});
         },
         Reason("Broken pipe")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        closes.clear();
        open({.controlled = true});
        c.provoke(*this);
        run();
        EXPECT_EQ(closes.empty() ? std::nullopt : std::optional<Reason>(closes.front()),
                  c.expected);
        EXPECT_LE(closes.size(), 1u);
        TearDown();
    }
}

TEST_F(PacketConnectionTest, ReadErrorOnAHeader) {
    create({.controlled = true});
    controlled->failNextReceive(NetError{"Connection timed out"});
    start();
    EXPECT_EQ(closes, std::vector<Reason>{Reason("Connection timed out")});
}

// --- Rate and queue limits -----------------------------------------------------------------

TEST_F(PacketConnectionTest, ThousandControlPacketsPerSecondIndefinitelyAreAccepted) {
    open();
    for (int second = 0; second < 20; ++second) {
        for (int i = 0; i < 1'000; ++i) peer->writeControl(kPing);
        run();
        queue->advance(1.0);
    }
    EXPECT_EQ(controls.size(), 20'000u);
    EXPECT_TRUE(closes.empty());
}

TEST_F(PacketConnectionTest, TheThousandAndFirstInOneWindowCloses) {
    open();
    for (int i = 0; i < 1'000; ++i) peer->writeControl(kPing);
    run();
    queue->advance(0.999);  // still inside the window that began at creation
    EXPECT_TRUE(closes.empty());
    peer->writeControl(kPing);
    run();
    EXPECT_EQ(controls.size(), 1'000u);
    EXPECT_EQ(closes, std::vector<Reason>{Reason("Control message rate exceeded its limit.")});
}

TEST_F(PacketConnectionTest, AcknowledgementsCountTowardsTheRate) {
    open();
    for (int i = 0; i < 1'001; ++i) peer->writeControl(R"({"type":"ack","version":1})");
    run();
    EXPECT_EQ(closes, std::vector<Reason>{Reason("Control message rate exceeded its limit.")});
}

TEST_F(PacketConnectionTest, ControlWritesInFlightAreBounded) {
    open({.controlled = true});
    controlled->holdWrites();
    for (int i = 0; i < 128; ++i) connection->send(ControlMessage::make("pong"));
    run();
    EXPECT_TRUE(closes.empty());
    EXPECT_EQ(controlled->heldWrites(), 128u);
    connection->send(ControlMessage::make("pong"));
    run();
    EXPECT_EQ(closes, std::vector<Reason>{Reason("Control queue exceeded its limit.")});
}

TEST_F(PacketConnectionTest, CompletedControlWritesLeaveRoomAgain) {
    open({.controlled = true});
    controlled->holdWrites();
    for (int i = 0; i < 128; ++i) connection->send(ControlMessage::make("pong"));
    run();
    controlled->releaseWrites();
    run();
    controlled->holdWrites();
    for (int i = 0; i < 128; ++i) connection->send(ControlMessage::make("pong"));
    run();
    EXPECT_TRUE(closes.empty());
    EXPECT_EQ(peer->packets.size(), 256u);
}

// --- Sending control messages --------------------------------------------------------------

TEST_F(PacketConnectionTest, OutgoingControlSizeLimit) {
    open();
    connection->send(messageOfJsonSize(65'535));
    connection->send(messageOfJsonSize(65'536));  // dropped without a word
    ControlMessage nan = ControlMessage::make("input");
    nan.x = std::nan("");
    connection->send(nan);  // cannot be encoded: dropped too
    connection->send(ControlMessage::make("pong"));
    run();
    ASSERT_EQ(peer->packets.size(), 2u);
    EXPECT_EQ(peer->packets[0].body.size(), 65'535u);
    EXPECT_EQ(peer->controlMessages()[1], ControlMessage::make("pong"));
    EXPECT_TRUE(closes.empty());
}

TEST_F(PacketConnectionTest, WritesMadeBeforeTheStreamIsReadyGoOut) {
    create();
    connection->send(ControlMessage::make("hello"));
    start();
    EXPECT_EQ(peer->controlMessages(), std::vector<ControlMessage>{ControlMessage::make("hello")});
}

// --- Acknowledgements ----------------------------------------------------------------------

TEST_F(PacketConnectionTest, AckWithoutFramesIsConsumedSilently) {
    open();
    peer->writeControl(R"({"type":"ack","version":1})");
    run();
    EXPECT_TRUE(controls.empty());
    EXPECT_TRUE(closes.empty());
}

TEST_F(PacketConnectionTest, AckFeedsThePacerAndNeverReachesOnControl) {
    open();
    int credits = 0;
    connection->pacer->setCreditCallback([&] { ++credits; });
    connection->pacer->configure(true, 30, 6'000'000);
    ASSERT_TRUE(connection->pacer->tryReserve());
    connection->sendVideo({0, 0, 0, 1, 0x65}, true);
    run();
    EXPECT_EQ(connection->pacer->debugState().sentTotal, 1);
    peer->writeControl(R"({"type":"ack","version":1,"frames":1})");
    run();
    EXPECT_TRUE(controls.empty());
    EXPECT_EQ(connection->pacer->debugState().acknowledgedTotal, 1);
    EXPECT_EQ(connection->pacer->debugState().reserved, 0);
    EXPECT_EQ(credits, 1);
}

TEST_F(PacketConnectionTest, ReceiverAcknowledgesEveryVideoPacket) {
    open({.videoReceiver = true});
    connection->acknowledgesVideo = true;
    for (uint8_t i = 0; i < 3; ++i) peer->writeVideo(i == 0, {i, i});
    run();
    ASSERT_EQ(videos.size(), 3u);
    EXPECT_EQ(videos[0], (Bytes{1, 0, 0}));
    EXPECT_EQ(videos[2], (Bytes{0, 2, 2}));
    std::vector<int64_t> counts;
    for (const auto& ack : peer->controlMessages()) {
        EXPECT_EQ(ack.type, "ack");
        EXPECT_EQ(ack.version, 1);
        counts.push_back(ack.frames.value_or(-1));
    }
    EXPECT_EQ(counts, (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(peer->packets[0].body, bytesOf(R"({"type":"ack","version":1,"frames":1})"));
}

TEST_F(PacketConnectionTest, AcksObeyTheControlWriteLimit) {
    open({.videoReceiver = true, .controlled = true});
    connection->acknowledgesVideo = true;
    controlled->holdWrites();
    for (int i = 0; i < 129; ++i) peer->writeVideo(true, {1});
    run();
    EXPECT_EQ(videos.size(), 128u);  // the 129th ack closed the connection before delivery
    EXPECT_EQ(closes, std::vector<Reason>{Reason("Control queue exceeded its limit.")});
}

// --- Sending video -------------------------------------------------------------------------

class PacketConnectionVideoTest : public PacketConnectionTest {
  protected:
    void SetUp() override {
        open();
        connection->pacer->configure(false, 30, 6'000'000);
        connection->pacer->setCreditCallback([this] { ++credits; });
    }

    // Reserves credit as the pipeline does, then hands the frame over.
    void sendFrame(Bytes frame, bool isKeyframe) {
        ASSERT_TRUE(connection->pacer->tryReserve());
        connection->sendVideo(std::move(frame), isKeyframe);
        run();
    }

    int64_t reserved() { return connection->pacer->debugState().reserved; }

    int credits = 0;
};

TEST_F(PacketConnectionVideoTest, FramesBeforeTheFirstKeyFrameAreDroppedWithTheirCredit) {
    sendFrame({0xaa}, false);
    sendFrame({0xbb}, false);
    EXPECT_EQ(credits, 2);
    EXPECT_EQ(reserved(), 0);
    EXPECT_EQ(connection->pacer->debugState().sentTotal, 0);
    sendFrame({0xcc}, true);
    sendFrame({0xdd}, false);
    EXPECT_EQ(peer->videoBodies(), (std::vector<Bytes>{{1, 0xcc}, {0, 0xdd}}));
    EXPECT_EQ(connection->pacer->debugState().sentTotal, 2);
    EXPECT_EQ(credits, 4);  // both completions returned their credit
    EXPECT_EQ(reserved(), 0);
}

TEST_F(PacketConnectionVideoTest, CreditComesBackOnlyWhenTheWriteCompletes) {
    TearDown();
    open({.controlled = true});
    connection->pacer->configure(false, 30, 6'000'000);
    connection->pacer->setCreditCallback([this] { ++credits; });
    controlled->holdWrites();
    sendFrame({0x01}, true);
    EXPECT_EQ(peer->videoBodies().size(), 1u);
    EXPECT_EQ(credits, 0);
    EXPECT_FALSE(connection->pacer->tryReserve());  // one frame outstanding
    controlled->releaseWrites();
    run();
    EXPECT_EQ(credits, 1);
    EXPECT_EQ(reserved(), 0);
}

TEST_F(PacketConnectionVideoTest, FrameSizeLimit) {
    sendFrame(Bytes(8'388'606, 0x11), true);  // the largest frame goes out
    ASSERT_EQ(peer->videoBodies().size(), 1u);
    EXPECT_EQ(peer->videoBodies()[0].size(), 8'388'607u);
    EXPECT_TRUE(closes.empty());
    int before = credits;
    sendFrame(Bytes(8'388'607, 0x11), true);
    EXPECT_EQ(credits, before + 1);
    EXPECT_EQ(reserved(), 0);
    EXPECT_EQ(closes, std::vector<Reason>{Reason("A video frame exceeded the packet limit.")});
    EXPECT_EQ(peer->videoBodies().size(), 1u);
}

TEST_F(PacketConnectionVideoTest, FramesHandedToAClosedConnectionReturnTheirCredit) {
    connection->cancel();
    run();
    // The connection dropped the pacer's callbacks when it closed; count through reserved.
    ASSERT_TRUE(connection->pacer->tryReserve());
    connection->sendVideo({0x01}, true);
    run();
    EXPECT_EQ(reserved(), 0);
    EXPECT_TRUE(peer->videoBodies().empty());
}

TEST_F(PacketConnectionVideoTest, FramesOutlivingTheConnectionReturnTheirCredit) {
    auto pacer = connection->pacer;
    ASSERT_TRUE(pacer->tryReserve());
    connection->sendVideo({0x01}, true);
    connection.reset();  // gone before the queue got to the frame
    run();
    EXPECT_EQ(pacer->debugState().reserved, 0);
    EXPECT_EQ(credits, 1);
}

// --- Finishing and closing -----------------------------------------------------------------

TEST_F(PacketConnectionTest, FinishDeliversTheMessageThenEndsTheStream) {
    open();
    ControlMessage rejected = ControlMessage::make("authRejected");
    rejected.message = "This device is not trusted.";
    connection->finish(rejected);
    run();
    EXPECT_EQ(peer->controlMessages(), std::vector<ControlMessage>{rejected});
    EXPECT_TRUE(peer->ended);
    EXPECT_EQ(closes, std::vector<Reason>{std::nullopt});
}

TEST_F(PacketConnectionTest, FinishClosesWithinHalfASecondWhenTheWriteNeverCompletes) {
    open({.controlled = true});
    controlled->holdWrites();
    connection->finish(ControlMessage::make("busy"));
    run();
    EXPECT_EQ(peer->controlMessages(), std::vector<ControlMessage>{ControlMessage::make("busy")});
    queue->advance(0.499);
    EXPECT_TRUE(closes.empty());
    EXPECT_FALSE(peer->ended);
    queue->advance(0.001);
    EXPECT_EQ(closes, std::vector<Reason>{std::nullopt});
    EXPECT_TRUE(controlled->cancelled());
    EXPECT_TRUE(peer->ended);
}

TEST_F(PacketConnectionTest, FinishStillHappensWhenTheOwnerLetsGo) {
    open({.controlled = true});
    controlled->holdWrites();
    connection->finish(ControlMessage::make("takenOver"));
    connection.reset();
    run();
    EXPECT_EQ(peer->controlMessages(),
              std::vector<ControlMessage>{ControlMessage::make("takenOver")});
    EXPECT_FALSE(peer->ended);
    queue->advance(0.5);
    EXPECT_TRUE(peer->ended);
}

TEST_F(PacketConnectionTest, FinishWithAnUnsendableMessageIsACancel) {
    for (bool tooLong : {true, false}) {
        SCOPED_TRACE(tooLong ? "too long" : "not encodable");
        closes.clear();
        open();
        ControlMessage message = messageOfJsonSize(65'536);
        if (!tooLong) {
            message = ControlMessage::make("input");
            message.y = INFINITY;
        }
        connection->finish(message);
        run();
        EXPECT_TRUE(peer->packets.empty());
        EXPECT_TRUE(peer->ended);
        EXPECT_EQ(closes, std::vector<Reason>{std::nullopt});
        TearDown();
    }
}

TEST_F(PacketConnectionTest, FinishAfterCloseDoesNothing) {
    open();
    connection->cancel();
    run();
    connection->finish(ControlMessage::make("error"));
    queue->advance(1);
    EXPECT_TRUE(peer->packets.empty());
    EXPECT_EQ(closes.size(), 1u);
}

TEST_F(PacketConnectionTest, ClosesOnceAndThenIgnoresEverything) {
    open({.videoReceiver = true});
    peer->writeRaw(PacketPeer::header(7, 1));  // closes with "Invalid packet header."
    connection->cancel();
    connection->cancel();
    peer->endStream();
    run();
    EXPECT_EQ(closes, std::vector<Reason>{Reason("Invalid packet header.")});
    connection->send(ControlMessage::make("pong"));
    run();
    EXPECT_TRUE(peer->packets.empty());
    EXPECT_TRUE(peer->ended);
    // The callbacks were dropped with the close.
    EXPECT_FALSE(connection->onControl);
    EXPECT_FALSE(connection->onVideo);
    EXPECT_FALSE(connection->onReady);
    EXPECT_FALSE(connection->onClose);
}

TEST_F(PacketConnectionTest, CloseDropsThePacersCallbacks) {
    open();
    int credits = 0;
    int64_t lastBitrate = 0;
    connection->pacer->setCreditCallback([&] { ++credits; });
    connection->pacer->setBitrateCallback([&](int64_t bitrate) { lastBitrate = bitrate; });
    connection->cancel();
    run();
    connection->pacer->configure(false, 30, 1'000'000);
    ASSERT_TRUE(connection->pacer->tryReserve());
    connection->pacer->releaseReservation();
    EXPECT_EQ(credits, 0);
    EXPECT_EQ(lastBitrate, 0);
}

TEST_F(PacketConnectionTest, PeerClosingBetweenPacketsIsAnOrderlyEnd) {
    open();
    peer->writeControl(kPing);
    run();
    peer->cancel();
    run();
    EXPECT_EQ(controls.size(), 1u);
    EXPECT_EQ(closes, std::vector<Reason>{std::nullopt});
}

TEST_F(PacketConnectionTest, DroppingTheLastOwnerEndsTheStream) {
    open();
    connection.reset();
    run();
    EXPECT_TRUE(peer->ended);
}

TEST_F(PacketConnectionTest, CallbacksMayReenterTheConnection) {
    open();
    // A typical owner answers from inside the callback and may even close from there.
    connection->onControl = [this](ControlMessage m) {
        if (m.type == "ping") connection->send(ControlMessage::make("pong"));
        if (m.type == "disconnect") connection->cancel();
    };
    connection->onClose = [this](Reason reason) {
        closes.push_back(reason);
        connection->onControl = [](ControlMessage) { FAIL() << "delivered after close"; };
    };
    peer->writeControl(kPing);
    peer->writeControl(R"({"type":"disconnect","version":1})");
    peer->writeControl(kPing);
    run();
    EXPECT_EQ(peer->controlMessages(), std::vector<ControlMessage>{ControlMessage::make("pong")});
    EXPECT_EQ(closes, std::vector<Reason>{std::nullopt});
}
