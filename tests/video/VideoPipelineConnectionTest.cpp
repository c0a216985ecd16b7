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

TEST(VideoPipelineConnection, DeviceReadsVideoConfigThenTheKeyFrameThenPlainFrames) {
    auto queue = std::make_shared<ManualQueue>("caldrovex.capture");
    auto [ours, theirs] = MemoryConnection::makePair();
    auto connection = PacketConnection::make(ours, queue, queue);
    auto peer = PacketPeer::make(theirs, queue);
    connection->start();
    peer->start();
    queue->runReady();

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

}  // namespace
}  // namespace caldrovex
