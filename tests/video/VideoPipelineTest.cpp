// The pipeline on virtual time, with a fake encoder session (outputs come when the test says)
// and fake sinks whose pacers run unacknowledged: one frame of credit, returned by
// `complete()`.

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/ManualQueue.h"
#include "platform/SerialQueue.h"
#include "support/FakeEncoderSession.h"
#include "support/FakeVideoSink.h"
#include "video/VideoPipeline.h"

namespace caldrovex {
namespace {

using Attempt = EncoderSession::Attempt;
using platform::ManualQueue;
using test::fakeAccessUnit;
using test::FakeEncoderSession;
using test::FakeVideoSink;

constexpr int kFps = 30;
constexpr int64_t kMaxBitrate = 6'000'000;

class VideoPipelineTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>("caldrovex.capture");
    std::shared_ptr<FakeEncoderSession::Log> log = std::make_shared<FakeEncoderSession::Log>();
    std::shared_ptr<std::vector<FakeEncoderSession*>> sessions =
        std::make_shared<std::vector<FakeEncoderSession*>>();
    std::vector<Attempt> refused;
    std::shared_ptr<VideoPipeline> pipeline;
    std::shared_ptr<FakeVideoSink> sink = FakeVideoSink::make(queue);
    std::vector<std::string> errors;
    int64_t captures = 0;

    void SetUp() override { makePipeline(); }

    void makePipeline() {
        pipeline =
            VideoPipeline::make(queue, queue, FakeEncoderSession::factory(log, refused, sessions));
        pipeline->onError = [this](const std::string& error) { errors.push_back(error); };
    }

    void attach(const std::shared_ptr<FakeVideoSink>& to, int fps = kFps,
                int64_t maxBitrate = kMaxBitrate) {
        pipeline->attach(to, fps, maxBitrate, false);
        queue->runReady();
    }

    // Hands capture number n (1, 2, ...) to the pipeline, stamped n ms, and returns n.
    int64_t capture() {
        int64_t n = ++captures;
        VideoFrame frame = VideoFrame::allocate(64, 48);
        queue->post([this, frame, n] { pipeline->intake(frame, MediaTime::make(n, 1000)); });
        queue->runReady();
        return n;
    }

    void onQueue(const std::function<void()>& work) {
        queue->post(work);
        queue->runReady();
    }

    FakeEncoderSession& session() { return *sessions->back(); }
    size_t submitted() { return sessions->empty() ? 0 : session().submitted.size(); }
    int64_t capturedAs(size_t index) { return session().submitted.at(index).ptsMicros / 1000; }

    // The encoder reports frame `index` of the current session, as a key frame with
    // parameter sets or as a plain frame; then the queue runs what that set off.
    void encoded(size_t index, bool keyframe) {
        session().output(index, fakeAccessUnit(keyframe, keyframe ? 5 : 1), keyframe);
        queue->runReady();
    }
    void dropped(size_t index) {
        session().output(index, std::nullopt, false);
        queue->runReady();
    }
    void completeSend(const std::shared_ptr<FakeVideoSink>& on) {
        on->complete();
        queue->runReady();
    }
    int64_t reserved(const std::shared_ptr<FakeVideoSink>& on) {
        return on->pacer()->debugState().reserved;
    }
};

// --- The single slot ---------------------------------------------------------------------

TEST_F(VideoPipelineTest, CapturesWaitingForCreditAreReplacedByTheLatest) {
    attach(sink);
    EXPECT_EQ(capture(), 1);
    ASSERT_EQ(submitted(), 1u);

    // Credit is out with frame 1: captures 2 and 3 wait, 3 replacing 2.
    capture();
    capture();
    EXPECT_EQ(submitted(), 1u);
    EXPECT_TRUE(pipeline->debugState().pending);

    encoded(0, true);
    completeSend(sink);
    ASSERT_EQ(submitted(), 2u);
    EXPECT_EQ(capturedAs(1), 3);
    EXPECT_FALSE(pipeline->debugState().pending);
}

TEST_F(VideoPipelineTest, CapturesBeforeAnySinkWaitAndGoOutOnAttach) {
    capture();
    capture();
    EXPECT_EQ(submitted(), 0u);
    EXPECT_TRUE(pipeline->hasFrame());

    attach(sink);
    ASSERT_EQ(submitted(), 1u);
    EXPECT_EQ(capturedAs(0), 2);
    EXPECT_TRUE(session().submitted[0].forceKeyframe);
}

TEST_F(VideoPipelineTest, KeyFramesArePrecededByTheirParameterSets) {
    attach(sink);
    capture();
    encoded(0, true);
    completeSend(sink);
    capture();
    encoded(1, false);

    auto sent = sink->sent();
    ASSERT_EQ(sent.size(), 3u);
    ControlMessage config = ControlMessage::make("videoConfig");
    config.sps = std::vector<uint8_t>{0x67, 0x4d, 0x00, 0x1f, 0xab};
    config.pps = std::vector<uint8_t>{0x68, 0xee, 0x3c, 0x80};
    ASSERT_TRUE(sent[0].control);
    EXPECT_EQ(*sent[0].control, config);
    // Then the key frame itself, without parameter sets, length-prefixed.
    EXPECT_FALSE(sent[1].control);
    EXPECT_TRUE(sent[1].keyframe);
    EXPECT_EQ(sent[1].frame, (std::vector<uint8_t>{0, 0, 0, 4, 0x65, 0x88, 0x84, 0x21}));
    // A plain frame goes alone.
    EXPECT_FALSE(sent[2].control);
    EXPECT_FALSE(sent[2].keyframe);
}

// --- Attaching and credit -------------------------------------------------------------

TEST_F(VideoPipelineTest, FrameInTheEncoderDuringAMoveGivesCreditBackToItsOwnConnection) {
    auto other = FakeVideoSink::make(queue);
    attach(sink);
    capture();
    EXPECT_EQ(reserved(sink), 1);

    attach(other, kFps, 2'000'000);
    encoded(0, true);
    // Neither connection got the frame; the first connection has its credit back.
    EXPECT_EQ(sink->frames(), 0u);
    EXPECT_EQ(other->frames(), 0u);
    EXPECT_EQ(reserved(sink), 0);
    EXPECT_EQ(reserved(other), 0);

    // The new connection streams on its own credit.
    capture();
    ASSERT_EQ(submitted(), 2u);
    EXPECT_EQ(reserved(other), 1);
    encoded(1, true);
    EXPECT_EQ(other->frames(), 1u);
    EXPECT_EQ(reserved(sink), 0);

    // The old pacer's callbacks are gone: it no longer retunes the encoder.
    sink->pacer()->configure(false, kFps, 5'000'000);
    queue->runReady();
    EXPECT_EQ(pipeline->debugState().encoderBitrate, 2'000'000);
}

TEST_F(VideoPipelineTest, FramesOutlivingTheirStreamGiveTheirCreditBack) {
    struct Case {
        const char* note;
        std::function<void()> meanwhile;
        // Whether the step closes the session, which then reports the frame as dropped.
        bool closesSession;
    };
    const Case cases[] = {
        {"pipeline detached", [this] { pipeline->detach(); }, false},
        {"pipeline reset", [this] { onQueue([this] { pipeline->reset(); }); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        sink = FakeVideoSink::make(queue);
        makePipeline();
        attach(sink);
        capture();
        ASSERT_EQ(reserved(sink), 1);
        c.meanwhile();
        if (!c.closesSession) {
            encoded(0, true);
        }
        EXPECT_EQ(sink->frames(), 0u);
        EXPECT_EQ(reserved(sink), 0);
    }
}

TEST_F(VideoPipelineTest, AFrameStillEncodingWhenThePipelineGoesReturnsItsCredit) {
    attach(sink);
    capture();
    ASSERT_EQ(reserved(sink), 1);
    // The last owner lets go: the encoder closes and its frames come out to nobody.
    pipeline.reset();
    EXPECT_EQ(reserved(sink), 0);
    EXPECT_EQ(sink->frames(), 0u);
}

TEST_F(VideoPipelineTest, ReattachingKeepsTheSessionUnlessTheFrameRateChanges) {
    struct Case {
        const char* note;
        int secondFps;
        size_t sessionsOpened;
    };
    const Case cases[] = {
        {"same frame rate: same session", kFps, 1},
        {"new frame rate: new session on the next frame", 60, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        log = std::make_shared<FakeEncoderSession::Log>();
        makePipeline();
        attach(sink);
        capture();
        encoded(0, true);
        completeSend(sink);

        attach(sink, c.secondFps);
        capture();
        EXPECT_EQ(log->settings.size(), c.sessionsOpened);
        EXPECT_EQ(log->settings.back().fps, c.secondFps);
        EXPECT_EQ(pipeline->debugState().encoderFps, c.secondFps);
        encoded(submitted() - 1, false);
        completeSend(sink);
    }
}

// A capture that starts gets the encoder ready for its pictures before any arrives: the
// attach that follows with the same frame rate keeps that session, and the first frame goes
// into it as a forced key frame. A prepare at another frame rate, size or scaling opens a new
// one.
TEST_F(VideoPipelineTest, PreparedSessionTakesTheFirstFrame) {
    onQueue([this] { pipeline->prepare(64, 48, kFps, false); });
    ASSERT_EQ(log->settings.size(), 1u);
    EXPECT_EQ(log->settings[0].width, 64);
    EXPECT_EQ(log->settings[0].height, 48);
    EXPECT_EQ(log->settings[0].fps, kFps);
    EXPECT_EQ(session().prepareCalls, 1);

    attach(sink);
    capture();
    EXPECT_EQ(log->settings.size(), 1u) << "the prepared session serves the stream";
    ASSERT_EQ(submitted(), 1u);
    EXPECT_TRUE(session().submitted[0].forceKeyframe);
    encoded(0, true);
    completeSend(sink);

    onQueue([this] { pipeline->prepare(64, 48, kFps, false); });
    EXPECT_EQ(log->settings.size(), 1u) << "already ready";
    onQueue([this] { pipeline->prepare(64, 48, 60, false); });
    onQueue([this] { pipeline->prepare(32, 24, 60, false); });
    onQueue([this] { pipeline->prepare(32, 24, 60, true); });
    ASSERT_EQ(log->settings.size(), 4u);
    EXPECT_EQ(log->settings[1].fps, 60);
    EXPECT_EQ(log->settings[2].width, 32);
    EXPECT_FALSE(log->settings[2].scaled);
    EXPECT_TRUE(log->settings[3].scaled);
    EXPECT_EQ(log->completed, 3);
}

TEST_F(VideoPipelineTest, EncoderBitrateNeverFallsBelowTheFloor) {
    struct Case {
        const char* note;
        int64_t pacerTarget;
        int expected;
    };
    const Case cases[] = {
        {"far below the floor", 50'000, 100'000},
        {"just below", 99'999, 100'000},
        {"at the floor", 100'000, 100'000},
        {"above", 2'500'000, 2'500'000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        // At attach: the pacer's target (the maximum, unacknowledged) reaches a new session.
        log = std::make_shared<FakeEncoderSession::Log>();
        makePipeline();
        attach(sink, kFps, c.pacerTarget);
        EXPECT_EQ(pipeline->debugState().encoderBitrate, c.expected);
        capture();
        EXPECT_EQ(log->settings.back().bitrate, c.expected);
        EXPECT_EQ(session().submitted.back().bitrate, c.expected);
        encoded(submitted() - 1, true);
        completeSend(sink);

        // Through the bitrate callback: a live session is retuned before the next frame.
        sink->pacer()->configure(false, kFps, 4'000'000);
        queue->runReady();
        sink->pacer()->configure(false, kFps, c.pacerTarget);
        queue->runReady();
        capture();
        EXPECT_EQ(session().submitted.back().bitrate, c.expected);
        encoded(submitted() - 1, false);
        completeSend(sink);
    }
}

// --- Key-frame refresh ----------------------------------------------------------------

TEST_F(VideoPipelineTest, StillScreenResubmitsTheLatestCaptureUntilAKeyFrameIsForced) {
    attach(sink);
    capture();
    encoded(0, true);
    completeSend(sink);

    // The device asks for a key frame right after the first one was forced at 0 s.
    pipeline->requestKeyframe();
    queue->runReady();
    EXPECT_EQ(submitted(), 1u);

    // 0.15 s: the latest capture goes again, but forcing waits for 0.3 s after the last one.
    queue->advance(0.15);
    ASSERT_EQ(submitted(), 2u);
    EXPECT_FALSE(session().submitted[1].forceKeyframe);
    encoded(1, false);
    completeSend(sink);

    // 0.30 s: forced now; the loop then sees the debt paid and stops.
    queue->advance(0.15);
    ASSERT_EQ(submitted(), 3u);
    EXPECT_TRUE(session().submitted[2].forceKeyframe);
    encoded(2, true);
    completeSend(sink);
    queue->advance(5);
    EXPECT_EQ(submitted(), 3u);
    EXPECT_EQ(pipeline->debugState().refreshRuns, 2);
}

TEST_F(VideoPipelineTest, RefreshLoopStopsAfterTwentyAttemptsAndANewRequestSupersedesIt) {
    // No sink: the key frame can never be forced, so the loops run out their attempts.
    capture();
    pipeline->requestKeyframe();
    queue->runReady();
    queue->advance(0.35);
    EXPECT_EQ(pipeline->debugState().refreshRuns, 2);

    // A second request stops the first loop (stale generation) and runs its own 20.
    int64_t generation = pipeline->debugState().refreshGeneration;
    pipeline->requestKeyframe();
    queue->runReady();
    EXPECT_EQ(pipeline->debugState().refreshGeneration, generation + 1);
    queue->advance(2.9);
    EXPECT_EQ(pipeline->debugState().refreshRuns, 2 + 19);
    queue->advance(0.15);
    EXPECT_EQ(pipeline->debugState().refreshRuns, 2 + 20);
    queue->advance(10);
    EXPECT_EQ(pipeline->debugState().refreshRuns, 2 + 20);
    EXPECT_EQ(queue->pending(), 0u);
    EXPECT_TRUE(pipeline->debugState().pending);
}

TEST_F(VideoPipelineTest, ResetStopsTheRefreshLoopAndForgetsFrames) {
    capture();
    pipeline->requestKeyframe();
    queue->runReady();
    onQueue([this] { pipeline->reset(); });
    queue->advance(10);
    auto state = pipeline->debugState();
    EXPECT_EQ(state.refreshRuns, 0);
    EXPECT_FALSE(state.pending);
    EXPECT_FALSE(state.latest);
    EXPECT_FALSE(pipeline->hasFrame());
}

TEST_F(VideoPipelineTest, DroppedFrameReturnsCreditAndRenewsAnOwedKeyFrame) {
    attach(sink);
    capture();
    ASSERT_TRUE(session().submitted[0].forceKeyframe);
    int64_t generation = pipeline->debugState().refreshGeneration;

    // The forced frame is dropped inside the encoder: not an error, the key frame is owed.
    dropped(0);
    EXPECT_EQ(reserved(sink), 0);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(pipeline->debugState().refreshGeneration, generation + 1);

    queue->advance(0.15);
    ASSERT_EQ(submitted(), 2u);
    encoded(1, false);
    completeSend(sink);
    queue->advance(0.15);
    ASSERT_EQ(submitted(), 3u);
    EXPECT_TRUE(session().submitted[2].forceKeyframe);
}

// --- Failures -------------------------------------------------------------------------

TEST_F(VideoPipelineTest, EncodingFailureIsReportedOncePerResetAndItsCreditReturned) {
    struct Case {
        const char* note;
        std::vector<Attempt> refused;
        int prepareStatus;
        int submitStatus;
        std::string text;
    };
    const Case cases[] = {
        {"no encoder opens",
         {Attempt::lowLatencyHardware, Attempt::software},
         0,
         0,
         "Could not start H.264 encoding."},
        {"prepare refused", {}, -22, 0, "Could not prepare H.264 encoding (-22)."},
        {"submit refused", {}, 0, -5, "Video encoder failed (-5)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        log = std::make_shared<FakeEncoderSession::Log>();
        log->prepareStatus = c.prepareStatus;
        log->submitStatus = c.submitStatus;
        refused = c.refused;
        errors.clear();
        makePipeline();
        attach(sink);

        capture();
        capture();
        EXPECT_EQ(errors, std::vector<std::string>{c.text});
        EXPECT_TRUE(pipeline->debugState().reportedError);
        onQueue([this] { pipeline->reset(); });
        // A prepare failure leaves the session usable; a reset closes it, so it fails again.
        capture();
        EXPECT_EQ(errors, (std::vector<std::string>{c.text, c.text}));
        if (c.prepareStatus == 0) {
            EXPECT_EQ(reserved(sink), 0);
        }
        // Clear out what the successful submits of the prepare case left in the encoder.
        onQueue([this] { pipeline->reset(); });
        EXPECT_EQ(reserved(sink), 0);
    }
}

// The host asks from its main queue; the answer must not wait for the capture queue, which
// may be busy grabbing or converting a picture.
TEST(VideoPipelineQueues, HasFrameAnswersWhileTheCaptureQueueIsBusy) {
    auto captureQueue = platform::SerialQueue::make("caldrovex.capture");
    auto pipeline = VideoPipeline::make(
        captureQueue, std::make_shared<ManualQueue>(),
        FakeEncoderSession::factory(std::make_shared<FakeEncoderSession::Log>()));
    std::promise<void> busy;
    std::promise<void> release;
    captureQueue->post([&] {
        busy.set_value();
        release.get_future().wait();
        pipeline->intake(VideoFrame::allocate(16, 16), MediaTime::make(1, 30));
    });
    busy.get_future().wait();
    EXPECT_FALSE(pipeline->hasFrame());
    release.set_value();
    captureQueue->sync([] {});
    EXPECT_TRUE(pipeline->hasFrame());
    captureQueue->sync([&] { pipeline->reset(); });
    EXPECT_FALSE(pipeline->hasFrame());
}

}  // namespace
}  // namespace caldrovex
