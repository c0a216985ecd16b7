// The encoder on the real libavcodec session (libx264 on machines without a hardware
// encoder): output form, sessions, key frames, rate control and decodability.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/CaldrovexError.h"
#include "platform/ManualQueue.h"
#include "support/H264TestDecoder.h"
#include "video/H264Bitstream.h"
#include "video/H264Encoder.h"
#include "video/LibavEncoderContext.h"
#include "video/LibavEncoderSession.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace caldrovex {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFps = 30;

// Collects completions from the encoder's output thread.
class Outputs {
public:
    H264Encoder::Completion completion() {
        return [this](std::optional<EncodedFrame> frame) {
            std::lock_guard guard(mutex_);
            frames_.push_back(std::move(frame));
            threads_.push_back(std::this_thread::get_id());
            changed_.notify_all();
        };
    }

    // Waits until `count` completions have arrived; generous, since sanitizers slow the
    // encoder down a lot. Not a timing check: it only bounds a hang.
    std::vector<std::optional<EncodedFrame>> waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        bool arrived = changed_.wait_for(lock, std::chrono::minutes(2),
                                         [&] { return frames_.size() >= count; });
        EXPECT_TRUE(arrived) << "only " << frames_.size() << " of " << count
                             << " completions arrived";
        return frames_;
    }

    std::vector<std::thread::id> threads() {
        std::lock_guard guard(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<EncodedFrame>> frames_;
    std::vector<std::thread::id> threads_;
};

VideoFrame patternFrame(int64_t index, int width = kWidth, int height = kHeight) {
    VideoFrame frame = VideoFrame::allocate(width, height);
    frame.fillTestPattern(index);
    return frame;
}

VideoFrame solidFrame(uint8_t luma, int width = kWidth, int height = kHeight) {
    VideoFrame frame = VideoFrame::allocate(width, height);
    frame.fillSolid(luma, 128, 128);
    return frame;
}

MediaTime frameTime(int64_t index) {
    return MediaTime::make(index, kFps);
}

// Counts the sessions the real factory opens.
struct CountingFactory {
    std::shared_ptr<int> opens = std::make_shared<int>(0);
    EncoderSessionFactory factory() {
        return [opens = opens](EncoderSession::Attempt attempt,
                               const EncoderSession::Settings& settings) {
            auto session = LibavEncoderSession::open(attempt, settings);
            if (session) {
                ++*opens;
            }
            return session;
        };
    }
};

class H264EncoderTest : public ::testing::Test {
protected:
    // Declared before the encoder, so completions still have somewhere to go while the
    // encoder finishes its frames on destruction.
    Outputs outputs;
    std::shared_ptr<platform::ManualQueue> clock = std::make_shared<platform::ManualQueue>();
    CountingFactory counting;
    H264Encoder encoder{clock, counting.factory()};

    void SetUp() override { encoder.setFps(kFps); }
};

void expectWellFormedKeyframe(const EncodedFrame& frame) {
    ASSERT_TRUE(frame.keyframe);
    ASSERT_TRUE(frame.parameterSets.has_value());
    EXPECT_EQ(H264Bitstream::type(frame.parameterSets->sps), H264Bitstream::kSequenceParameterSet);
    EXPECT_EQ(H264Bitstream::type(frame.parameterSets->pps), H264Bitstream::kPictureParameterSet);
    bool hasIdr = false;
    for (auto unit : H264Bitstream::splitLengthPrefixed(frame.data)) {
        uint8_t type = H264Bitstream::type(unit);
        EXPECT_NE(type, H264Bitstream::kSequenceParameterSet) << "SPS left inside the access unit";
        EXPECT_NE(type, H264Bitstream::kPictureParameterSet) << "PPS left inside the access unit";
        hasIdr = hasIdr || type == H264Bitstream::kIdrSlice;
    }
    EXPECT_TRUE(hasIdr);
}

// The length prefixes tile the whole access unit exactly.
size_t prefixedLength(const EncodedFrame& frame) {
    size_t total = 0;
    for (auto unit : H264Bitstream::splitLengthPrefixed(frame.data)) {
        total += 4 + unit.size();
    }
    return total;
}

TEST_F(H264EncoderTest, FirstOutputIsKeyFrameWithParameterSetsAndLengthPrefixedUnits) {
    encoder.encode(patternFrame(0), frameTime(0), outputs.completion());
    encoder.encode(patternFrame(1), frameTime(1), outputs.completion());
    auto frames = outputs.waitFor(2);
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_TRUE(frames[0].has_value());
    expectWellFormedKeyframe(*frames[0]);
    EXPECT_EQ(prefixedLength(*frames[0]), frames[0]->data.size());
    // Main profile: profile_idc 77 is the byte after the SPS header.
    EXPECT_EQ(frames[0]->parameterSets->sps.at(1), 77);

    ASSERT_TRUE(frames[1].has_value());
    EXPECT_FALSE(frames[1]->keyframe);
    EXPECT_FALSE(frames[1]->parameterSets.has_value());
    EXPECT_EQ(prefixedLength(*frames[1]), frames[1]->data.size());
    EXPECT_FALSE(encoder.needsKeyframe());
}

// No GPU here: a render node that is no GPU (or is missing) makes the VAAPI encoder fail to
// open, quietly; the hardware attempt then fails (or, where an NVIDIA GPU is, opens NVENC) and
// the software encoder carries the stream, as on any machine without hardware encoding.
TEST_F(H264EncoderTest, WithoutAUsableGpuTheSoftwareEncoderTakesOver) {
    for (const char* node : {"/dev/null", "/nonexistent/renderD128"}) {
        SCOPED_TRACE(node);
        EncoderTuning tuning;
        tuning.renderNode = node;
        EncoderSession::Settings settings{kWidth, kHeight, kFps, 2'000'000};
        auto hardware = LibavEncoderContext::open(EncoderSession::Attempt::lowLatencyHardware,
                                                  settings, tuning);
        EXPECT_TRUE(hardware == nullptr || !hardware->uploads()) << "VAAPI opened on " << node;

        Outputs fallbackOutputs;
        H264Encoder fallback(clock, LibavEncoderSession::factory(tuning));
        fallback.encode(patternFrame(0), frameTime(0), fallbackOutputs.completion());
        auto frames = fallbackOutputs.waitFor(1);
        ASSERT_EQ(frames.size(), 1u);
        ASSERT_TRUE(frames[0].has_value());
        expectWellFormedKeyframe(*frames[0]);
        EXPECT_EQ(fallback.lowLatency(), hardware != nullptr);
    }
}

TEST_F(H264EncoderTest, CompletionsRunOncePerFrameOnTheOutputThread) {
    constexpr int kFrames = 8;
    for (int i = 0; i < kFrames; ++i) {
        encoder.encode(patternFrame(i), frameTime(i), outputs.completion());
    }
    auto frames = outputs.waitFor(kFrames);
    EXPECT_EQ(frames.size(), static_cast<size_t>(kFrames));
    auto threads = outputs.threads();
    for (auto id : threads) {
        EXPECT_NE(id, std::this_thread::get_id());
        EXPECT_EQ(id, threads.front());
    }
    for (const auto& frame : frames) {
        EXPECT_TRUE(frame.has_value());
    }
}

TEST_F(H264EncoderTest, SizeChangeBuildsNewSessionStartingWithKeyFrame) {
    encoder.encode(patternFrame(0), frameTime(0), outputs.completion());
    encoder.encode(patternFrame(1), frameTime(1), outputs.completion());
    encoder.encode(patternFrame(2, 256, 192), frameTime(2), outputs.completion());
    auto frames = outputs.waitFor(3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(*counting.opens, 2);
    EXPECT_EQ(encoder.width(), 256);
    EXPECT_EQ(encoder.height(), 192);
    ASSERT_TRUE(frames[2].has_value());
    expectWellFormedKeyframe(*frames[2]);
    EXPECT_NE(frames[2]->parameterSets->sps, frames[0]->parameterSets->sps);
}

TEST_F(H264EncoderTest, ForcedKeyFrameWaitsUntilSpacedFromThePreviousOne) {
    // Frames every 0.1 s of virtual time; the session's first frame is forced at 0.
    // A request at 0.1 s is honoured by the frame at 0.3 s, not earlier.
    std::vector<bool> expectedKey = {true, false, false, true, false};
    for (size_t i = 0; i < expectedKey.size(); ++i) {
        if (i == 1 || i == 2) {
            encoder.setNeedsKeyframe();  // the second request adds nothing
        }
        encoder.encode(solidFrame(static_cast<uint8_t>(60 + i)), frameTime(static_cast<int64_t>(i)),
                       outputs.completion());
        EXPECT_EQ(encoder.needsKeyframe(), i == 1 || i == 2) << "after frame " << i;
        clock->advance(0.1);
    }
    auto frames = outputs.waitFor(expectedKey.size());
    ASSERT_EQ(frames.size(), expectedKey.size());
    for (size_t i = 0; i < expectedKey.size(); ++i) {
        ASSERT_TRUE(frames[i].has_value());
        EXPECT_EQ(frames[i]->keyframe, expectedKey[i]) << "frame " << i;
        EXPECT_EQ(frames[i]->parameterSets.has_value(), expectedKey[i]) << "frame " << i;
    }
    expectWellFormedKeyframe(*frames[3]);
}

TEST_F(H264EncoderTest, KeyFrameAtLeastEveryTwentySecondsWithoutRequests) {
    struct Case {
        const char* note;
        int fps;
        std::vector<double> times;  // seconds; nothing asks for key frames after the first
        std::vector<size_t> keyframes;
    };
    const Case cases[] = {
        {"few frames, 20 s apart in time", 30, {0, 1, 19.9, 20.0, 21}, {0, 3}},
        {"many frames: fps × 20 of them", 1, std::vector<double>(22), {0, 20}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        Outputs local;
        H264Encoder fresh(clock);
        fresh.setFps(c.fps);
        for (size_t i = 0; i < c.times.size(); ++i) {
            double time = c.times[i] > 0 ? c.times[i] : static_cast<double>(i) / kFps;
            fresh.encode(solidFrame(static_cast<uint8_t>(80 + i % 4)),
                         MediaTime::make(static_cast<int64_t>(time * 1000), 1000),
                         local.completion());
        }
        auto frames = local.waitFor(c.times.size());
        std::vector<size_t> keyframes;
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_TRUE(frames[i].has_value());
            if (frames[i]->keyframe) {
                expectWellFormedKeyframe(*frames[i]);
                keyframes.push_back(i);
            }
        }
        EXPECT_EQ(keyframes, c.keyframes);
    }
}

TEST_F(H264EncoderTest, TimesNotLaterThanThePreviousAreSpacedByOneMillisecond) {
    struct Case {
        const char* note;
        MediaTime given;
        MediaTime expected;
    };
    // Each row follows the previous one's result.
    const Case cases[] = {
        {"first frame keeps its time", MediaTime::make(90000, 90000),
         MediaTime::make(90000, 90000)},
        {"equal time, other timescale", MediaTime::make(1, 1), MediaTime::make(1001, 1000)},
        {"earlier time", MediaTime::make(500, 1000), MediaTime::make(1002, 1000)},
        {"invalid time", MediaTime::invalid(), MediaTime::make(1003, 1000)},
        {"later time is kept", MediaTime::make(2, 1), MediaTime::make(2, 1)},
    };
    int index = 0;
    for (const auto& c : cases) {
        encoder.encode(patternFrame(index++), c.given, outputs.completion());
        EXPECT_EQ(encoder.lastTimestamp(), c.expected) << c.note;
        EXPECT_TRUE(encoder.lastTimestamp().isValid()) << c.note;
    }
    auto frames = outputs.waitFor(std::size(cases));
    for (const auto& frame : frames) {
        EXPECT_TRUE(frame.has_value());
    }
}

// Bytes per second of output for consecutive one-second windows of `targets` (bits/s),
// encoding the moving test pattern at 30 fps and retuning the live encoder at each window.
std::vector<int64_t> bitsPerSecond(H264Encoder& encoder, Outputs& outputs,
                                   const std::vector<int>& targets) {
    int64_t index = 0;
    for (int target : targets) {
        encoder.setBitrate(target);
        for (int i = 0; i < kFps; ++i, ++index) {
            encoder.encode(patternFrame(index), frameTime(index), outputs.completion());
        }
    }
    auto frames = outputs.waitFor(static_cast<size_t>(index));
    std::vector<int64_t> bits(targets.size(), 0);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(frames[i].has_value()) << "frame " << i;
        if (frames[i]) {
            bits[i / kFps] += static_cast<int64_t>(frames[i]->data.size()) * 8;
        }
    }
    return bits;
}

TEST_F(H264EncoderTest, LoweredTargetGovernsTheOutputFromThenOn) {
    // Two seconds at 2 Mbit/s, then 300 kbit/s. The moving pattern needs more than either,
    // so the output sits at the target; what matters is that after the drop nothing tries
    // to make up for the earlier average.
    std::vector<int> targets = {2'000'000, 2'000'000, 300'000, 300'000, 300'000};
    auto bits = bitsPerSecond(encoder, outputs, targets);
    for (size_t s = 0; s < bits.size(); ++s) {
        SCOPED_TRACE("second " + std::to_string(s) + ": " + std::to_string(bits[s]) + " bits");
        // Never above the 1.5× ceiling (a little slack for the key frame's second).
        EXPECT_LE(bits[s], targets[s] * 3 / 2 * 11 / 10);
    }
    for (size_t s = 3; s < bits.size(); ++s) {
        SCOPED_TRACE("second " + std::to_string(s) + ": " + std::to_string(bits[s]) + " bits");
        EXPECT_GE(bits[s], targets[s] * 6 / 10);
        EXPECT_LE(bits[s], targets[s] * 12 / 10);
    }
    EXPECT_LT(bits[3], bits[1] / 3);
    EXPECT_EQ(*counting.opens, 1) << "a bitrate change must not open a new session";
}

TEST_F(H264EncoderTest, RaisedTargetIsNotOvershotToCatchUp) {
    // After a congested period the encoder must not spend above the new target to make up
    // the long-term average.
    std::vector<int> targets = {300'000, 300'000, 300'000, 1'000'000, 1'000'000, 1'000'000};
    auto bits = bitsPerSecond(encoder, outputs, targets);
    for (size_t s = 4; s < bits.size(); ++s) {
        SCOPED_TRACE("second " + std::to_string(s) + ": " + std::to_string(bits[s]) + " bits");
        EXPECT_GE(bits[s], targets[s] * 6 / 10);
        EXPECT_LE(bits[s], targets[s] * 12 / 10);
    }
    EXPECT_EQ(*counting.opens, 1);
}

TEST_F(H264EncoderTest, OutputDecodesAfterConversionBackToAnnexB) {
    constexpr int kFrames = 12;
    encoder.setBitrate(4'000'000);
    for (int i = 0; i < kFrames; ++i) {
        if (i == 6) {
            clock->advance(1);
            encoder.setNeedsKeyframe();  // a key frame mid-stream decodes too
        }
        encoder.encode(patternFrame(i), frameTime(i), outputs.completion());
    }
    auto frames = outputs.waitFor(kFrames);
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    EXPECT_TRUE(frames[6] && frames[6]->keyframe);

    test::H264TestDecoder decoder;
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_TRUE(frames[i].has_value());
        auto pictures = decoder.decode(*frames[i]);
        ASSERT_EQ(pictures.size(), 1u) << "frame " << i;
        const auto& picture = pictures.front();
        ASSERT_EQ(picture.width, kWidth);
        ASSERT_EQ(picture.height, kHeight);
        // The picture is the one encoded: mean luma error small against the pattern's range.
        VideoFrame source = patternFrame(i);
        const AVFrame* original = source.avFrame();
        int64_t error = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                error += std::abs(int{picture.luma[static_cast<size_t>(y) * kWidth + x]} -
                                  int{original->data[0][y * original->linesize[0] + x]});
            }
        }
        EXPECT_LT(static_cast<double>(error) / (kWidth * kHeight), 12.0) << "frame " << i;
    }
}

TEST_F(H264EncoderTest, TearDownFinishesPendingFramesAndNextEncodeOpensAgain) {
    for (int i = 0; i < 5; ++i) {
        encoder.encode(patternFrame(i), frameTime(i), outputs.completion());
    }
    encoder.tearDownSession();
    EXPECT_FALSE(encoder.hasSession());
    EXPECT_EQ(outputs.threads().size(), 5u)
        << "every pending completion ran before tear-down returned";

    encoder.encode(patternFrame(5), frameTime(5), outputs.completion());
    auto frames = outputs.waitFor(6);
    EXPECT_EQ(*counting.opens, 2);
    ASSERT_TRUE(frames[5].has_value());
    expectWellFormedKeyframe(*frames[5]);
}

TEST_F(H264EncoderTest, FramesTheEncoderCannotTakeFailWithTheirSentence) {
    // An odd width: no H.264 encoder here opens for 4:2:0 at that size.
    EXPECT_THROW(
        {
            try {
                encoder.encode(patternFrame(0, 321, 240), frameTime(0), outputs.completion());
            } catch (const CaldrovexError& error) {
                EXPECT_STREQ(error.what(), "Could not start H.264 encoding.");
                throw;
            }
        },
        CaldrovexError);
    EXPECT_FALSE(encoder.hasSession());

    // A frame in another pixel format is refused at submission.
    AVFrame* planar = av_frame_alloc();
    planar->format = AV_PIX_FMT_YUV420P;
    planar->width = kWidth;
    planar->height = kHeight;
    ASSERT_EQ(av_frame_get_buffer(planar, 0), 0);
    VideoFrame wrong(planar);
    try {
        encoder.encode(wrong, frameTime(1), outputs.completion());
        FAIL() << "no error";
    } catch (const CaldrovexError& error) {
        EXPECT_EQ(error.message(),
                  "Video encoder failed (" + std::to_string(AVERROR(EINVAL)) + ").");
    }
    // The forced key frame that failed is still owed.
    EXPECT_TRUE(encoder.needsKeyframe());
}

TEST_F(H264EncoderTest, EncoderDestroyedFromItsOwnCompletionFinishesTheRest) {
    // The pipeline may be released from a completion, taking the encoder with it on the
    // output thread; the frames still queued must complete all the same.
    Outputs late;
    auto owned =
        std::make_shared<std::unique_ptr<H264Encoder>>(std::make_unique<H264Encoder>(clock));
    (*owned)->setFps(kFps);
    auto release = late.completion();
    std::promise<void> allSubmitted;
    std::shared_future<void> submitted = allSubmitted.get_future().share();
    (*owned)->encode(patternFrame(0), frameTime(0),
                     [owned, release, submitted](std::optional<EncodedFrame> frame) {
                         submitted.wait();
                         owned->reset();
                         release(std::move(frame));
                     });
    for (int i = 1; i < 4; ++i) {
        (*owned)->encode(patternFrame(i), frameTime(i), late.completion());
    }
    allSubmitted.set_value();
    auto frames = late.waitFor(4);
    EXPECT_EQ(frames.size(), 4u);
    EXPECT_EQ(*owned, nullptr);
}

}  // namespace
}  // namespace caldrovex
