// PacketConnection on virtual time: what it reads, and the limits it puts on the peer.

#include "protocol/PacketConnectionFixture.h"

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
