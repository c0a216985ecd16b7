// PacketConnection on virtual time: what it sends, acknowledgements, video, finishing and closing.

#include "protocol/PacketConnectionFixture.h"

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
