// The pipeline sending to a real PacketConnection (in-memory pair, virtual time) through
// PacketConnectionSink: what the device reads on the wire, and the credit coming home.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/ManualQueue.h"
#include "platform/net/MemoryConnection.h"
#include "protocol/PacketConnection.h"
#include "support/FakeEncoderSession.h"
#include "support/PacketPeer.h"
#include "video/PacketConnectionSink.h"
#include "video/VideoPipeline.h"

namespace caldrovex {
namespace {

using platform::ManualQueue;
using platform::net::MemoryConnection;
using test::FakeEncoderSession;
using test::PacketPeer;

// The host's connection and the device reading it, both started on `queue`.
struct Wire {
    explicit Wire(const std::shared_ptr<ManualQueue>& queue) {
        auto [ours, theirs] = MemoryConnection::makePair();
        connection = PacketConnection::make(ours, queue, queue);
        peer = PacketPeer::make(theirs, queue);
        connection->start();
        peer->start();
        queue->runReady();
    }
    std::shared_ptr<PacketConnection> connection;
    std::shared_ptr<PacketPeer> peer;
};

TEST(VideoPipelineConnection, DeviceReadsVideoConfigThenTheKeyFrameThenPlainFrames) {
    auto queue = std::make_shared<ManualQueue>("caldrovex.capture");
    auto [connection, peer] = Wire(queue);

    auto log = std::make_shared<FakeEncoderSession::Log>();
    auto sessions = std::make_shared<std::vector<FakeEncoderSession*>>();
    auto pipeline =
        VideoPipeline::make(queue, queue, FakeEncoderSession::factory(log, {}, sessions));
    pipeline->attach(PacketConnectionSink::make(connection), 30, 6'000'000, false);
    queue->runReady();

    auto capture = [&](int64_t n) {
        VideoFrame frame = VideoFrame::allocate(64, 48);
        queue->post([&, frame, n] { pipeline->intake(frame, MediaTime::make(n, 30)); });
        queue->runReady();
    };
    capture(1);
    ASSERT_EQ(sessions->back()->submitted.size(), 1u);
    sessions->back()->output(0, test::fakeAccessUnit(true, 5), true);
    queue->runReady();
    // The write completed: the unacknowledged pacer has its credit back, the next frame goes.
    EXPECT_EQ(connection->pacer->debugState().reserved, 0);
    capture(2);
    ASSERT_EQ(sessions->back()->submitted.size(), 2u);
    sessions->back()->output(1, test::fakeAccessUnit(false, 1), false);
    queue->runReady();

    auto controls = peer->controlMessages();
    auto videos = peer->videoBodies();
    ASSERT_EQ(peer->packets.size(), 3u);
    EXPECT_EQ(peer->packets[0].kind, static_cast<uint8_t>(PacketKind::control));
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].type, "videoConfig");
    EXPECT_EQ(controls[0].sps, (std::vector<uint8_t>{0x67, 0x4d, 0x00, 0x1f, 0xab}));
    EXPECT_EQ(controls[0].pps, (std::vector<uint8_t>{0x68, 0xee, 0x3c, 0x80}));
    ASSERT_EQ(videos.size(), 2u);
    EXPECT_EQ(videos[0], (std::vector<uint8_t>{1, 0, 0, 0, 4, 0x65, 0x88, 0x84, 0x21}));
    EXPECT_EQ(videos[1], (std::vector<uint8_t>{0, 0, 0, 0, 4, 0x61, 0x88, 0x84, 0x21}));
    EXPECT_EQ(connection->pacer->debugState().reserved, 0);

    // Let go of everything and run out what that posts.
    pipeline.reset();
    connection.reset();
    peer.reset();
    queue->advance(10);
}

// A warm resume: the screen changed while nobody watched, so a capture waits in the pipeline
// when the device's connection is attached. The capture queue and the encoder run before the
// attaching thread does anything else (the worst order the threads can take), and the
// device still reads "streaming" before "videoConfig" and the key frame.
TEST(VideoPipelineConnection, TheAnnouncementPrecedesAFrameWaitingAtAttachTime) {
    auto wire = std::make_shared<ManualQueue>("caldrovex.transport");
    auto capture = std::make_shared<ManualQueue>("caldrovex.capture");
    auto [connection, peer] = Wire(wire);

    auto log = std::make_shared<FakeEncoderSession::Log>();
    auto sessions = std::make_shared<std::vector<FakeEncoderSession*>>();
    auto pipeline =
        VideoPipeline::make(capture, capture, FakeEncoderSession::factory(log, {}, sessions));
    capture->post([&] { pipeline->intake(VideoFrame::allocate(64, 48), MediaTime::make(1, 30)); });
    capture->runReady();

    ControlMessage streaming = ControlMessage::make("streaming");
    streaming.width = 64;
    streaming.height = 48;
    pipeline->attach(PacketConnectionSink::make(connection), 30, 6'000'000, false, streaming);
    capture->runReady();
    ASSERT_EQ(sessions->size(), 1u);
    ASSERT_EQ(sessions->back()->submitted.size(), 1u) << "the waiting frame went to the encoder";
    sessions->back()->output(0, test::fakeAccessUnit(true, 5), true);
    wire->runReady();

    ASSERT_EQ(peer->packets.size(), 3u);
    auto controls = peer->controlMessages();
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[0].type, "streaming");
    EXPECT_EQ(controls[0].width, 64);
    EXPECT_EQ(controls[1].type, "videoConfig");
    EXPECT_EQ(peer->packets[2].kind, static_cast<uint8_t>(PacketKind::video));
    EXPECT_EQ(peer->videoBodies().at(0).at(0), 1) << "the key frame";

    pipeline.reset();
    connection.reset();
    peer.reset();
    capture->advance(10);
    wire->advance(10);
}

}  // namespace
}  // namespace caldrovex
