// The encoder's own rules, on a fake session: attempts, error sentences, key-frame spacing,
// times, bitrate changes and how outputs become records.

#include <gtest/gtest.h>

#include "platform/CaldrovexError.h"
#include "platform/ManualQueue.h"
#include "support/FakeEncoderSession.h"
#include "video/H264Bitstream.h"
#include "video/H264Encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace caldrovex {
namespace {

using Attempt = EncoderSession::Attempt;
using test::fakeAccessUnit;
using test::FakeEncoderSession;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

std::string errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const CaldrovexError& error) {
        return error.message();
    }
    return "(no error)";
}

class H264EncoderRulesTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeEncoderSession::Log> log = std::make_shared<FakeEncoderSession::Log>();
    std::shared_ptr<std::vector<FakeEncoderSession*>> sessions =
        std::make_shared<std::vector<FakeEncoderSession*>>();
    std::shared_ptr<platform::ManualQueue> clock = std::make_shared<platform::ManualQueue>();
    std::vector<std::optional<EncodedFrame>> results;
    std::unique_ptr<H264Encoder> encoder;

    void SetUp() override { makeEncoder({}); }

    void makeEncoder(std::vector<Attempt> refused) {
        encoder = std::make_unique<H264Encoder>(
            clock, FakeEncoderSession::factory(log, refused, sessions));
    }

    void encode(MediaTime time = MediaTime::invalid(), int width = kWidth, int height = kHeight) {
        VideoFrame frame = VideoFrame::allocate(width, height);
        encoder->encode(frame, time, [this](std::optional<EncodedFrame> result) {
            results.push_back(std::move(result));
        });
    }

    FakeEncoderSession& session() { return *sessions->back(); }
};

TEST_F(H264EncoderRulesTest, SessionIsTheFirstAttemptThatOpens) {
    struct Case {
        const char* note;
        std::vector<Attempt> refused;
        std::vector<Attempt> tried;
        bool lowLatency;
    };
    const Case cases[] = {
        {"hardware opens", {}, {Attempt::lowLatencyHardware}, true},
        {"no hardware: software on the second attempt",
         {Attempt::lowLatencyHardware},
         {Attempt::lowLatencyHardware, Attempt::software},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        log = std::make_shared<FakeEncoderSession::Log>();
        makeEncoder(c.refused);
        encoder->setFps(60);
        encoder->setBitrate(2'500'000);
        encode(MediaTime::make(0, 60));
        EXPECT_EQ(log->attempts, c.tried);
        EXPECT_EQ(encoder->lowLatency(), c.lowLatency);
        ASSERT_EQ(log->settings.size(), 1u);
        EXPECT_EQ(log->settings[0].width, kWidth);
        EXPECT_EQ(log->settings[0].height, kHeight);
        EXPECT_EQ(log->settings[0].fps, 60);
        EXPECT_EQ(log->settings[0].bitrate, 2'500'000);
        EXPECT_EQ(session().submitted.at(0).bitrate, 2'500'000);
    }
}

TEST_F(H264EncoderRulesTest, NoEncoderOpensGivesTheStartSentence) {
    makeEncoder({Attempt::lowLatencyHardware, Attempt::software});
    EXPECT_EQ(errorOf([&] { encode(); }), "Could not start H.264 encoding.");
    EXPECT_EQ(log->attempts.size(), 2u);
    EXPECT_FALSE(encoder->hasSession());
    // The next frame tries again.
    EXPECT_EQ(errorOf([&] { encode(); }), "Could not start H.264 encoding.");
    EXPECT_EQ(log->attempts.size(), 4u);
}

TEST_F(H264EncoderRulesTest, PrepareFailureKeepsTheSessionForTheNextFrame) {
    log->prepareStatus = -11;
    EXPECT_EQ(errorOf([&] { encode(); }), "Could not prepare H.264 encoding (-11).");
    EXPECT_TRUE(encoder->hasSession());
    EXPECT_TRUE(results.empty());

    log->prepareStatus = 0;
    encode();
    EXPECT_EQ(log->attempts.size(), 1u) << "no new session";
    EXPECT_EQ(session().submitted.size(), 1u);
}

TEST_F(H264EncoderRulesTest, SubmitFailureGivesTheEncoderSentenceAndKeepsKeyFrameOwed) {
    log->submitStatus = -5;
    EXPECT_EQ(errorOf([&] { encode(); }), "Video encoder failed (-5).");
    EXPECT_TRUE(encoder->needsKeyframe()) << "the forced frame never went out";
    EXPECT_TRUE(results.empty()) << "a failed encode has no completion";

    log->submitStatus = 0;
    clock->advance(0.3);
    encode();
    EXPECT_TRUE(session().submitted.back().forceKeyframe);
    EXPECT_FALSE(encoder->needsKeyframe());

    log->submitStatus = -5;
    EXPECT_EQ(errorOf([&] { encode(); }), "Video encoder failed (-5).");
    EXPECT_FALSE(encoder->needsKeyframe()) << "an unforced failure owes nothing";
}

TEST_F(H264EncoderRulesTest, ForcedKeyFramesAreSpacedByAtLeastThreeTenthsOfASecond) {
    struct Step {
        const char* note;
        double advance;  // seconds before this frame
        bool request;    // a key-frame request just before it
        bool forced;
    };
    const Step steps[] = {
        {"first frame of a session", 0, false, true},
        {"nothing owed", 0.1, false, false},
        {"request 0.1 s after the forced frame waits", 0, true, false},
        {"a second request adds nothing", 0.1, true, false},
        {"0.3 s after the forced frame", 0.1, false, true},
        {"after that nothing is owed", 0.1, false, false},
        {"a request long after is forced at once", 2.0, true, true},
    };
    for (const auto& step : steps) {
        clock->advance(step.advance);
        if (step.request) {
            encoder->setNeedsKeyframe();
        }
        encode();
        EXPECT_EQ(session().submitted.back().forceKeyframe, step.forced) << step.note;
    }
    // A new session forces its first frame even right after a forced one.
    encoder->tearDownSession();
    encode();
    EXPECT_TRUE(session().submitted.back().forceKeyframe);
}

TEST_F(H264EncoderRulesTest, TimesReachTheSessionInMicrosecondsStrictlyIncreasing) {
    encode(MediaTime::make(1, 30));
    encode(MediaTime::make(1, 30));
    encode(MediaTime::make(2, 30));
    std::vector<int64_t> pts;
    for (const auto& frame : session().submitted) {
        pts.push_back(frame.ptsMicros);
    }
    EXPECT_EQ(pts, (std::vector<int64_t>{33333, 34333, 66667}));

    // A new session starts its times afresh.
    encode(MediaTime::make(0, 30), kWidth * 2, kHeight * 2);
    EXPECT_EQ(session().submitted.back().ptsMicros, 0);
    EXPECT_EQ(encoder->lastTimestamp(), MediaTime::make(0, 30));
}

TEST_F(H264EncoderRulesTest, BitrateGoesToTheLiveSessionWithoutANewOne) {
    encoder->setBitrate(3'000'000);  // no session yet: kept for the first one
    encode();
    EXPECT_EQ(session().submitted.back().bitrate, 3'000'000);
    encoder->setBitrate(400'000);
    encode();
    EXPECT_EQ(session().submitted.back().bitrate, 400'000);
    EXPECT_EQ(log->attempts.size(), 1u);
    encoder->setBitrate(50'000);
    encode();
    EXPECT_EQ(session().submitted.back().bitrate, 100'000) << "never under the floor";
}

TEST_F(H264EncoderRulesTest, FrameRateChangeTakesEffectWithTheNextSession) {
    encode();
    encoder->setFps(15);
    encoder->tearDownSession();
    EXPECT_EQ(log->completed, 1);
    encode();
    ASSERT_EQ(log->settings.size(), 2u);
    EXPECT_EQ(log->settings[1].fps, 15);
}

TEST_F(H264EncoderRulesTest, DroppedAndUnusableOutputsCompleteWithNothing) {
    struct Case {
        const char* note;
        bool forced;
        std::optional<std::vector<uint8_t>> output;  // nullopt: dropped
        bool keyflag;
        int status;
        bool owesKeyframe;
    };
    std::vector<uint8_t> spsOnly = {0, 0, 0, 1, 0x67, 0x4d, 0x00, 0x1f, 0, 0, 0, 1, 0x65, 0x88};
    const Case cases[] = {
        {"forced frame dropped", true, std::nullopt, false, 0, true},
        {"forced frame failed", true, std::nullopt, false, -1, true},
        {"ordinary frame dropped", false, std::nullopt, false, 0, false},
        {"key frame with SPS but no PPS", false, spsOnly, true, 0, true},
        {"packet without picture data", false, std::vector<uint8_t>{}, false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        results.clear();
        clock->advance(1);
        if (c.forced) {
            encoder->setNeedsKeyframe();
        }
        encode();
        ASSERT_EQ(session().submitted.back().forceKeyframe, c.forced);
        session().output(session().submitted.size() - 1, c.output, c.keyflag, c.status);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_FALSE(results[0].has_value());
        EXPECT_EQ(encoder->needsKeyframe(), c.owesKeyframe);
        // Pay the debt so the next row starts clean.
        clock->advance(1);
        encode();
        session().output(session().submitted.size() - 1, fakeAccessUnit(false, 1), false);
    }
}

TEST_F(H264EncoderRulesTest, FramesTheSessionNeverReportedCompleteAtTearDown) {
    encode();
    encode();
    session().output(0, fakeAccessUnit(true, 5), true);
    encoder->tearDownSession();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_TRUE(results[0].has_value());
    EXPECT_FALSE(results[1].has_value());
}

// Records made from single packets by H264Encoder::frame.
std::optional<EncodedFrame> recordOf(const std::vector<uint8_t>& annexB, bool keyframe) {
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, static_cast<int>(annexB.size()));
    std::copy(annexB.begin(), annexB.end(), packet->data);
    packet->flags = keyframe ? AV_PKT_FLAG_KEY : 0;
    auto record = H264Encoder::frame(*packet);
    av_packet_free(&packet);
    return record;
}

TEST(H264EncoderFrameTest, KeyFrameParameterSetsMoveOutOfTheAccessUnit) {
    auto record = recordOf(fakeAccessUnit(true, 5), true);
    ASSERT_TRUE(record.has_value());
    EXPECT_TRUE(record->keyframe);
    ASSERT_TRUE(record->parameterSets.has_value());
    EXPECT_EQ(record->parameterSets->sps, (std::vector<uint8_t>{0x67, 0x4d, 0x00, 0x1f, 0xab}));
    EXPECT_EQ(record->parameterSets->pps, (std::vector<uint8_t>{0x68, 0xee, 0x3c, 0x80}));
    EXPECT_EQ(record->data, (std::vector<uint8_t>{0, 0, 0, 4, 0x65, 0x88, 0x84, 0x21}));
}

TEST(H264EncoderFrameTest, OrdinaryFrameKeepsItsUnitsAndHasNoParameterSets) {
    auto record = recordOf(fakeAccessUnit(false, 1), false);
    ASSERT_TRUE(record.has_value());
    EXPECT_FALSE(record->keyframe);
    EXPECT_FALSE(record->parameterSets.has_value());
    EXPECT_EQ(record->data, (std::vector<uint8_t>{0, 0, 0, 4, 0x61, 0x88, 0x84, 0x21}));
}

TEST(H264EncoderFrameTest, KeyFrameWithoutAnyParameterSetHasNone) {
    auto record = recordOf(fakeAccessUnit(false, 5), true);
    ASSERT_TRUE(record.has_value());
    EXPECT_TRUE(record->keyframe);
    EXPECT_FALSE(record->parameterSets.has_value());
}

}  // namespace
}  // namespace caldrovex
