// The screen streamer over a synthetic capture service, on virtual time: display choice and
// stream size, time bounds, generations, retired streams, stop, failure reports, exclusion.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ManualQueue.h"
#include "support/FakeEncoderSession.h"
#include "support/FakeVideoSink.h"
#include "support/SyntheticCaptureService.h"
#include "video/ScreenStreamer.h"

namespace caldrovex {
namespace {

using platform::ManualQueue;
using test::FakeEncoderSession;
using test::FakeVideoSink;
using test::SyntheticCaptureService;
using test::SyntheticCaptureStream;

const CaptureDisplay kBuiltIn{7, "eDP-1", 0, 0, 2880, 1800};
const CaptureDisplay kExternal{9, "", 2880, 0, 1921, 1081};

struct Report {
    std::string message;
    int64_t generation;
    bool operator==(const Report&) const = default;
};

class ScreenStreamerTest : public ::testing::Test {
protected:
    std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>("caldrovex.capture");
    std::shared_ptr<SyntheticCaptureService> service =
        std::make_shared<SyntheticCaptureService>(queue);
    std::shared_ptr<FakeEncoderSession::Log> log = std::make_shared<FakeEncoderSession::Log>();
    std::vector<EncoderSession::Attempt> refused;
    std::shared_ptr<ScreenStreamer> streamer;
    std::vector<Report> reports;

    void SetUp() override {
        service->displayList = {kBuiltIn, kExternal};
        makeStreamer();
    }

    void makeStreamer() {
        streamer = ScreenStreamer::make(service, queue, queue, queue,
                                        FakeEncoderSession::factory(log, refused));
        streamer->setErrorCallback([this](const std::string& message, int64_t generation) {
            reports.push_back({message, generation});
        });
    }

    // Starts and runs the queue until the start has answered (or `wait` seconds passed).
    std::optional<TimeoutOutcome<RemoteDisplay>> start(std::optional<uint32_t> id = std::nullopt,
                                                       int maxWidth = 1920, double wait = 0) {
        auto result = std::make_shared<std::optional<TimeoutOutcome<RemoteDisplay>>>();
        streamer->start(id, maxWidth, 30,
                        [result](TimeoutOutcome<RemoteDisplay> outcome) { *result = outcome; });
        queue->advance(wait);
        return *result;
    }

    static std::string errorOf(const std::optional<TimeoutOutcome<RemoteDisplay>>& outcome) {
        if (!outcome) return "(no answer)";
        auto* error = std::get_if<CaldrovexError>(&*outcome);
        return error ? error->message() : "(no error)";
    }

    bool stop(double wait = 0) {
        auto stopped = std::make_shared<bool>(false);
        streamer->stop([stopped] { *stopped = true; });
        queue->advance(wait);
        return *stopped;
    }

    std::optional<bool> exclude(std::set<uint32_t> windows, double wait = 0) {
        auto result = std::make_shared<std::optional<bool>>();
        streamer->exclude(std::move(windows), [result](bool excluded) { *result = excluded; });
        queue->advance(wait);
        return *result;
    }

    SyntheticCaptureStream& stream() { return *service->streams.back(); }

    // Emits one picture from `from` and runs the capture queue.
    void emit(SyntheticCaptureStream& from) {
        from.emit();
        queue->runReady();
    }
};

TEST_F(ScreenStreamerTest, DisplaysAreListedInServiceOrderWithNames) {
    auto listed = std::make_shared<std::optional<TimeoutOutcome<std::vector<RemoteDisplay>>>>();
    streamer->displays([listed](auto outcome) { *listed = outcome; });
    queue->runReady();
    ASSERT_TRUE(*listed);
    EXPECT_EQ(std::get<0>(**listed),
              (std::vector<RemoteDisplay>{{7, "eDP-1", 2880, 1800}, {9, "Display 9", 1921, 1081}}));

    // No display: an empty list, not an error.
    service->displayList.clear();
    streamer->displays([listed](auto outcome) { *listed = outcome; });
    queue->runReady();
    EXPECT_TRUE(std::get<0>(**listed).empty());
}

TEST_F(ScreenStreamerTest, DisplaysQueryThatHangsTimesOutAfterEightSeconds) {
    service->displaysAnswer.answers = false;
    auto listed = std::make_shared<std::optional<TimeoutOutcome<std::vector<RemoteDisplay>>>>();
    streamer->displays([listed](auto outcome) { *listed = outcome; });
    queue->advance(7.9);
    EXPECT_FALSE(*listed);
    queue->advance(0.1);
    ASSERT_TRUE(*listed);
    EXPECT_EQ(std::get<CaldrovexError>(**listed).message(), kCaptureTimedOutMessage);
}

TEST_F(ScreenStreamerTest, StartCapturesTheChosenDisplayAtTheFittedSize) {
    struct Case {
        const char* note;
        std::optional<uint32_t> requested;
        int maxWidth;
        RemoteDisplay streamed;
    };
    const Case cases[] = {
        {"requested display, scaled down", 7, 1920, {7, "eDP-1", 1920, 1200}},
        {"requested display, never enlarged, odd sides made even",
         9,
         4000,
         {9, "Display 9", 1920, 1080}},
        {"unknown display: the first one", 42, 4000, {7, "eDP-1", 2880, 1800}},
        {"no display asked for: the first one", std::nullopt, 1440, {7, "eDP-1", 1440, 900}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        auto outcome = start(c.requested, c.maxWidth);
        ASSERT_TRUE(outcome);
        ASSERT_EQ(errorOf(outcome), "(no error)");
        EXPECT_EQ(std::get<RemoteDisplay>(*outcome), c.streamed);
        EXPECT_EQ(stream().display.id, c.streamed.id);
        EXPECT_EQ(stream().configuration.width, c.streamed.width);
        EXPECT_EQ(stream().configuration.height, c.streamed.height);
        EXPECT_EQ(stream().configuration.fps, 30);
        EXPECT_TRUE(stream().running());
        auto state = streamer->streamState();
        EXPECT_TRUE(state.streaming);
        EXPECT_EQ(state.capturedDisplayID, c.streamed.id);
    }
    // Every start began with a full stop: only the last stream still runs.
    for (size_t i = 0; i + 1 < service->streams.size(); ++i) {
        EXPECT_FALSE(service->streams[i]->running());
    }
}

TEST_F(ScreenStreamerTest, StartFailuresAreReportedWithTheirSentence) {
    struct Case {
        const char* note;
        std::function<void(SyntheticCaptureService&)> arrange;
        double wait;
        std::string text;
    };
    const CaldrovexError platformError("The capture stream could not be started.");
    const Case cases[] = {
        {"no display at all", [](auto& s) { s.displayList.clear(); }, 0,
         "No display is available. Keep a display connected to this computer."},
        {"content query fails", [&](auto& s) { s.displaysAnswer.error = platformError; }, 0,
         platformError.message()},
        {"content query hangs", [](auto& s) { s.displaysAnswer.answers = false; }, 8,
         kCaptureTimedOutMessage},
        {"stream cannot be set up", [&](auto& s) { s.makeError = platformError; }, 0,
         platformError.message()},
        {"capture start fails", [&](auto& s) { s.startAnswer.error = platformError; }, 0,
         platformError.message()},
        {"capture start hangs", [](auto& s) { s.startAnswer.answers = false; }, 8,
         kCaptureTimedOutMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        service = std::make_shared<SyntheticCaptureService>(queue);
        service->displayList = {kBuiltIn};
        c.arrange(*service);
        makeStreamer();
        if (c.wait > 0) {
            EXPECT_FALSE(start(std::nullopt, 1920, c.wait - 0.01));
            queue->advance(0.01);
        } else {
            EXPECT_EQ(errorOf(start()), c.text);
        }
        EXPECT_FALSE(streamer->streamState().streaming);
    }
}

TEST_F(ScreenStreamerTest, FailedStartLeavesNoCurrentStreamAndMovesTheGeneration) {
    service->startAnswer.error = CaldrovexError("The capture stream could not be started.");
    start();
    // One for the stop that begins every start, one for the new stream, one for its failure.
    EXPECT_EQ(streamer->streamState().generation, 3);
    EXPECT_FALSE(streamer->isCurrent(3));
    EXPECT_FALSE(streamer->streamState().streaming);
}

TEST_F(ScreenStreamerTest, OnlyTheCurrentStreamFeedsThePipeline) {
    start();
    auto& first = stream();
    emit(first);
    EXPECT_TRUE(streamer->pipeline->hasFrame());

    // Retired: the stream still runs, its pictures no longer count.
    streamer->retire();
    queue->post([this] { streamer->pipeline->reset(); });
    queue->runReady();
    EXPECT_TRUE(first.running());
    emit(first);
    EXPECT_FALSE(streamer->pipeline->hasFrame());

    // A new start stops the retired stream and takes pictures from the new one only.
    start();
    auto& second = stream();
    EXPECT_FALSE(first.running());
    emit(second);
    EXPECT_TRUE(streamer->pipeline->hasFrame());
}

TEST_F(ScreenStreamerTest, GenerationsMoveAtEachStartRetireAndStop) {
    EXPECT_EQ(streamer->streamState().generation, 0);
    start();
    EXPECT_EQ(streamer->streamState().generation, 2);  // stop, then the new stream
    EXPECT_TRUE(streamer->isCurrent(2));
    streamer->retire();
    EXPECT_EQ(streamer->streamState().generation, 3);
    EXPECT_FALSE(streamer->isCurrent(3));  // no stream is current
    EXPECT_TRUE(streamer->streamState().retired);
    ASSERT_TRUE(stop());
    auto state = streamer->streamState();
    EXPECT_EQ(state.generation, 4);
    EXPECT_FALSE(state.retired);
    // The display of the last capture is remembered.
    EXPECT_EQ(state.capturedDisplayID, 7u);
    // Retiring nothing still moves the generation.
    streamer->retire();
    EXPECT_EQ(streamer->streamState().generation, 5);
}

TEST_F(ScreenStreamerTest, StopEndsTheStreamsAndResetsThePipelineEvenWhenAStopHangs) {
    struct Case {
        const char* note;
        bool retireFirst;
        bool stopAnswers;
        double completesAfter;
    };
    const Case cases[] = {
        {"current stream", false, true, 0},
        {"retired stream", true, true, 0},
        {"a stop that never answers is given up after 3 s", false, false, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        service = std::make_shared<SyntheticCaptureService>(queue);
        service->displayList = {kBuiltIn};
        service->stopAnswer.answers = c.stopAnswers;
        makeStreamer();
        start();
        emit(stream());
        ASSERT_TRUE(streamer->pipeline->hasFrame());
        if (c.retireFirst) {
            streamer->retire();
        }

        auto stopped = std::make_shared<bool>(false);
        streamer->stop([stopped] { *stopped = true; });
        queue->advance(c.completesAfter > 0 ? c.completesAfter - 0.01 : 0);
        EXPECT_EQ(*stopped, c.completesAfter == 0);
        queue->advance(0.01);
        EXPECT_TRUE(*stopped);
        EXPECT_FALSE(stream().running());
        EXPECT_FALSE(streamer->pipeline->hasFrame());
        auto state = streamer->streamState();
        EXPECT_FALSE(state.streaming);
        EXPECT_FALSE(state.retired);
    }
}

TEST_F(ScreenStreamerTest, StopWithNoStreamOnlyResetsThePipeline) {
    queue->post([this] {
        streamer->pipeline->intake(VideoFrame::allocate(16, 16), MediaTime::make(1, 30));
    });
    queue->runReady();
    ASSERT_TRUE(streamer->pipeline->hasFrame());
    EXPECT_TRUE(stop());
    EXPECT_FALSE(streamer->pipeline->hasFrame());
    EXPECT_TRUE(service->streams.empty());
}

TEST_F(ScreenStreamerTest, FailuresAreReportedWithTheGenerationOnlyForTheCurrentStream) {
    refused = {EncoderSession::Attempt::lowLatencyHardware, EncoderSession::Attempt::software};
    makeStreamer();
    auto sink = FakeVideoSink::make(queue);
    streamer->attach(sink, StreamSettings{}, false);
    start();

    // The encoder's failure, through the pipeline.
    emit(stream());
    EXPECT_EQ(reports, (std::vector<Report>{{"Could not start H.264 encoding.", 2}}));

    // The stream ending on its own.
    stream().failWith("The display was disconnected.");
    EXPECT_EQ(reports.back(), (Report{"The display was disconnected.", 2}));

    // Once retired, its end is no news.
    start();
    streamer->retire();
    stream().failWith("The display was disconnected.");
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(ScreenStreamerTest, ExcludeAnswersForTheCurrentStreamOnly) {
    EXPECT_EQ(exclude({1, 2}), false);  // nothing captured

    start();
    stream().excludeAnswer = true;
    EXPECT_EQ(exclude({1, 2}), true);
    EXPECT_EQ(stream().excludedWindows, (std::set<uint32_t>{1, 2}));
    stream().excludeAnswer = false;
    EXPECT_EQ(exclude({3}), false);

    streamer->retire();
    EXPECT_EQ(exclude({1}), false);
}

}  // namespace
}  // namespace caldrovex
