#include "protocol/VideoPacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

namespace caldrovex {
namespace {

using Mode = VideoPacer::Mode;

// Times are multiples of 1/64 s from an origin like a machine's uptime, so every time and
// every difference in these tests is exact in binary floating point.
constexpr double kOrigin = 100.0;
constexpr double kTick = 1.0 / 32.0;
// A frame of this size acknowledged one tick after it went into an empty pipe measures a
// delivery rate of exactly 500,000 bytes per second.
constexpr int64_t kFrameBytes = 15'625;
constexpr double kMeasuredRate = 500'000.0;

// Drives one pacer on a manual clock: frames are reserved and sent at given times and
// acknowledged at given times, as a connection and a device would.
class PacerTest : public ::testing::Test {
protected:
    double now = kOrigin;
    VideoPacer pacer{[this] { return now; }};
    std::vector<int64_t> bitrates;
    int credits = 0;

    void SetUp() override {
        pacer.setBitrateCallback([this](int64_t value) { bitrates.push_back(value); });
        pacer.setCreditCallback([this] { ++credits; });
    }

    VideoPacer::DebugState state() const { return pacer.debugState(); }

    // Reserves credit and sends one frame at time `at`.
    void send(double at, int64_t bytes = kFrameBytes, bool keyframe = false) {
        now = at;
        ASSERT_TRUE(pacer.tryReserve()) << "no credit at " << at;
        pacer.didSend(bytes, keyframe);
    }

    // The device acknowledges everything sent so far at time `at`.
    void ackAll(double at) {
        now = at;
        ASSERT_TRUE(pacer.acknowledge(state().sentTotal));
    }

    // One frame alone in the pipe: sent at `at`, acknowledged `roundTrip` later. Returns the
    // acknowledgement time, which is when the next frame goes out.
    double frame(double at, double roundTrip = kTick, int64_t bytes = kFrameBytes,
                 bool keyframe = false) {
        send(at, bytes, keyframe);
        ackAll(at + roundTrip);
        return at + roundTrip;
    }

    // Acknowledged regime at 30 fps and 6,000,000 bit/s, one 500,000 B/s frame delivered.
    double startWithEstimate() {
        pacer.configure(true, 30, 6'000'000);
        return frame(kOrigin);
    }

    // Frames one tick apart until the mode changes; returns the time of the change.
    double framesUntilModeLeaves(double at, Mode mode, double roundTrip = kTick) {
        for (int i = 0; i < 1000 && state().mode == mode; ++i) at = frame(at, roundTrip);
        EXPECT_NE(state().mode, mode);
        return at;
    }

    // Startup has ended; the pacer drains.
    double reachDrain() { return framesUntilModeLeaves(startWithEstimate(), Mode::startup); }

    // Drain has ended through a prompt frame; the pacer cruises in gain phase 0.
    double reachCruise() { return framesUntilModeLeaves(reachDrain(), Mode::drain); }
};

// --- Unacknowledged regime ------------------------------------------------------------------

TEST_F(PacerTest, UnacknowledgedAllowsOneFrameOutstanding) {
    pacer.configure(false, 30, 5'000'000);
    EXPECT_EQ(bitrates, (std::vector<int64_t>{5'000'000}));

    EXPECT_TRUE(pacer.tryReserve());
    EXPECT_FALSE(pacer.tryReserve());
    pacer.didSend(40'000, true);
    EXPECT_FALSE(pacer.tryReserve());
    EXPECT_EQ(state().bytesInFlight, 40'000);

    // The network layer took the frame: credit returns and the callback says so.
    pacer.didComplete();
    EXPECT_EQ(credits, 1);
    EXPECT_EQ(state().flights, 0);
    EXPECT_EQ(state().bytesInFlight, 0);
    EXPECT_TRUE(pacer.tryReserve());

    // An abandoned frame gives its credit back as well.
    pacer.releaseReservation();
    EXPECT_EQ(credits, 2);
    EXPECT_EQ(state().reserved, 0);
    EXPECT_TRUE(pacer.tryReserve());

    // Acknowledgements mean nothing here; the target stays the maximum.
    EXPECT_FALSE(pacer.acknowledge(0));
    EXPECT_EQ(pacer.stats().bitrate, 5'000'000);
    EXPECT_EQ(pacer.stats().fps, 1);
}

TEST_F(PacerTest, ReleaseNeverDrivesReservedBelowZero) {
    pacer.releaseReservation();
    pacer.releaseReservation();
    EXPECT_EQ(state().reserved, 0);
    EXPECT_EQ(credits, 2);
    EXPECT_TRUE(pacer.tryReserve());
    EXPECT_FALSE(pacer.tryReserve());
}

TEST_F(PacerTest, DidCompleteIsIgnoredWhenAcknowledged) {
    pacer.configure(true, 30, 6'000'000);
    send(kOrigin);
    const auto before = state();
    pacer.didComplete();
    const auto after = state();
    EXPECT_EQ(credits, 0);
    EXPECT_EQ(after.reserved, before.reserved);
    EXPECT_EQ(after.flights, 1);
    EXPECT_EQ(after.bytesInFlight, kFrameBytes);
    EXPECT_EQ(pacer.stats().fps, 0);
}

// --- configure ------------------------------------------------------------------------------

struct ConfigureCase {
    const char* note;
    bool acknowledged;
    int64_t fps;
    int64_t maxBitrate;
    int64_t target;
    int64_t frameWindow;  // frames granted before the first refusal, before any acknowledgement
};

void PrintTo(const ConfigureCase& c, std::ostream* os) {
    *os << c.note;
}

class ConfigureTest : public PacerTest, public ::testing::WithParamInterface<ConfigureCase> {};

TEST_P(ConfigureTest, SetsTargetAndFrameWindow) {
    const auto& c = GetParam();
    pacer.configure(c.acknowledged, c.fps, c.maxBitrate);
    EXPECT_EQ(state().target, c.target);
    EXPECT_EQ(bitrates, (std::vector<int64_t>{c.target}));
    int64_t granted = 0;
    while (granted < 100 && pacer.tryReserve()) ++granted;
    EXPECT_EQ(granted, c.frameWindow);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigureTest,
    ::testing::Values(
        // Path delay 50 ms before any round trip: ceil(0.1 s / interval) + 2 frames.
        ConfigureCase{"30 fps", true, 30, 6'000'000, 1'500'000, 5},
        ConfigureCase{"60 fps", true, 60, 6'000'000, 1'500'000, 8},
        ConfigureCase{"fps 0 acts as 1 fps: the window's floor", true, 0, 6'000'000, 1'500'000, 3},
        ConfigureCase{"240 fps hits the window's ceiling", true, 240, 6'000'000, 1'500'000, 16},
        ConfigureCase{"a maximum under the start rate caps it", true, 30, 1'000'000, 1'000'000, 5},
        ConfigureCase{"maximum 0 becomes 1 bit/s", true, 30, 0, 1, 5},
        ConfigureCase{"negative maximum becomes 1 bit/s", false, 30, -5, 1, 1},
        ConfigureCase{"unacknowledged: the maximum", false, 30, 6'000'000, 6'000'000, 1},
        ConfigureCase{"unacknowledged, maximum 0", false, 0, 0, 1, 1}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(PacerTest, ConfigureAlwaysReportsTheTarget) {
    pacer.configure(true, 30, 6'000'000);
    pacer.configure(true, 30, 6'000'000);
    EXPECT_EQ(bitrates, (std::vector<int64_t>{1'500'000, 1'500'000}));
}

TEST_F(PacerTest, ConfigureKeepsMeasurements) {
    const double at = startWithEstimate();
    now = at;
    pacer.configure(true, 60, 3'000'000);
    const auto s = state();
    EXPECT_EQ(s.rateEstimate, kMeasuredRate);
    EXPECT_EQ(s.pathDelay, kTick);
    EXPECT_EQ(s.mode, Mode::startup);
    EXPECT_EQ(s.target, 3'000'000);  // startup gain, clamped to the new maximum
    // The maximum sinks under the floor: the floor follows it down.
    pacer.configure(true, 60, 100'000);
    EXPECT_EQ(state().target, 100'000);
}

// --- Frame sizes ----------------------------------------------------------------------------

TEST_F(PacerTest, TypicalFrameSizeIsSmoothedOverNonKeyFrames) {
    pacer.configure(false, 30, 6'000'000);
    struct Step {
        int64_t bytes;
        bool keyframe;
        int64_t typical;
    };
    const Step steps[] = {
        {1'000, false, 1'000},  // the first size is taken as is
        {2'000, false, 1'250},  // (3 × 1,000 + 2,000) / 4
        {90'000, true, 1'250},  // key frames are left out
        {1'001, false, 1'187},  // (3 × 1,250 + 1,001) / 4 = 1,187.75, truncated
    };
    for (const auto& step : steps) {
        ASSERT_TRUE(pacer.tryReserve());
        pacer.didSend(step.bytes, step.keyframe);
        pacer.didComplete();
        EXPECT_EQ(state().typicalFrameBytes, step.typical) << step.bytes;
    }
}

// --- Acknowledgements -----------------------------------------------------------------------

TEST_F(PacerTest, AcknowledgementOutsideBoundsIsRefusedSilently) {
    pacer.configure(true, 30, 6'000'000);
    send(kOrigin);
    send(kOrigin + kTick);
    ackAll(kOrigin + 2 * kTick);
    send(kOrigin + 3 * kTick);
    bitrates.clear();
    credits = 0;
    const auto before = state();

    struct Case {
        const char* note;
        int64_t total;
    };
    for (const Case c : {Case{"below the acknowledged count", 1}, Case{"beyond what was sent", 4},
                         Case{"negative", -1}}) {
        now = kOrigin + 4 * kTick;
        EXPECT_FALSE(pacer.acknowledge(c.total)) << c.note;
    }
    EXPECT_EQ(credits, 0);
    EXPECT_TRUE(bitrates.empty());
    EXPECT_EQ(state().acknowledgedTotal, before.acknowledgedTotal);
    EXPECT_EQ(state().flights, before.flights);
}

TEST_F(PacerTest, RepeatedAcknowledgementIsAcceptedAndSignalsCredit) {
    const double at = startWithEstimate();
    send(at);
    bitrates.clear();
    credits = 0;
    now = at + kTick / 2;
    EXPECT_TRUE(pacer.acknowledge(1));
    EXPECT_EQ(credits, 1);
    EXPECT_TRUE(bitrates.empty());  // the target did not change
    EXPECT_EQ(state().flights, 1);
    EXPECT_EQ(state().acknowledgedTotal, 1);
}

TEST_F(PacerTest, BitrateCallbackFiresOnlyWhenTheTargetChanges) {
    pacer.configure(true, 30, 6'000'000);
    bitrates.clear();
    double at = frame(kOrigin);  // first estimate: 1.5 M → 6 M
    EXPECT_EQ(bitrates, (std::vector<int64_t>{6'000'000}));
    at = frame(at);  // still startup at 6 M
    EXPECT_EQ(bitrates.size(), 1u);
    EXPECT_EQ(credits, 2);
}

TEST_F(PacerTest, AcknowledgingMoreThanIsInFlightCatchesUp) {
    // Two frames completed before the device started acknowledging: they are no flights.
    pacer.configure(false, 30, 6'000'000);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(pacer.tryReserve());
        pacer.didSend(1'000, false);
        pacer.didComplete();
    }
    pacer.configure(true, 30, 6'000'000);
    send(kOrigin);
    ackAll(kOrigin + kTick);
    const auto s = state();
    EXPECT_EQ(s.acknowledgedTotal, 3);
    EXPECT_EQ(s.flights, 0);
    EXPECT_EQ(s.bytesInFlight, 0);
    EXPECT_EQ(s.reserved, 0);
}

TEST_F(PacerTest, CallbacksMayCallBackIntoThePacer) {
    pacer.configure(true, 30, 6'000'000);
    int reentered = 0;
    pacer.setCreditCallback([&] {
        // Releasing signals credit again: re-enter only on the outermost call.
        if (reentered++ == 0 && pacer.tryReserve()) pacer.releaseReservation();
    });
    pacer.setBitrateCallback([&](int64_t value) {
        EXPECT_EQ(pacer.stats().bitrate, value);
        ++reentered;
    });
    frame(kOrigin);
    EXPECT_GE(reentered, 2);
}

TEST_F(PacerTest, EmptyCallbacksClearThem) {
    pacer.setCreditCallback({});
    pacer.setBitrateCallback({});
    pacer.configure(true, 30, 6'000'000);
    frame(kOrigin);
    pacer.releaseReservation();
    EXPECT_TRUE(bitrates.empty());
    EXPECT_EQ(credits, 0);
}

// --- Credit in the acknowledged regime ------------------------------------------------------

TEST_F(PacerTest, ByteBudgetRefusesWhatThePathCannotCarry) {
    const double at = startWithEstimate();
    // Path delay 1/32 s at 30 fps: the frame window is ceil(2 × 0.03125 × 30) + 2 = 4, and
    // the budget 500,000 × (2 × 0.03125 + 0.05) = 56,250 bytes.
    send(at, 50'000, true);
    now = at + kTick / 4;
    EXPECT_TRUE(pacer.tryReserve());  // 50,000 in flight fits
    // 50,000 sent + one reserved frame counted at the typical 15,625 exceeds the budget.
    EXPECT_FALSE(pacer.tryReserve());
    // Giving the reservation back brings the projection under the budget again.
    pacer.releaseReservation();
    EXPECT_TRUE(pacer.tryReserve());
}

TEST_F(PacerTest, FrameWindowFollowsThePathDelay) {
    double at = startWithEstimate();
    // Small frames shrink the typical size so that the byte budget stays out of the way.
    for (int i = 0; i < 10; ++i) at = frame(at, kTick, 100);
    ASSERT_LT(state().typicalFrameBytes, 1'000);
    ASSERT_EQ(state().pathDelay, kTick);
    // ceil(2 × 1/32 s × 30 fps) + 2 = 4 frames, where the 50 ms default gave 5.
    int64_t granted = 0;
    while (granted < 100 && pacer.tryReserve()) ++granted;
    EXPECT_EQ(granted, 4);
}

// --- Rate samples ---------------------------------------------------------------------------

TEST_F(PacerTest, EstimateSurvivesWhenSamplesAgeOut) {
    double at = startWithEstimate();
    // Five seconds later a frame half as fast arrives; it is application-limited (the target
    // would carry far more in a 0.1 s gap), so it may only raise the estimate.
    at = frame(at + 5.0, 2 * kTick);
    EXPECT_EQ(state().rateEstimate, kMeasuredRate);
    // A key frame is never application-limited: its slower sample replaces the old ones.
    frame(at + 1.0, 2 * kTick, kFrameBytes, true);
    EXPECT_EQ(state().rateEstimate, kMeasuredRate / 2);
}

TEST_F(PacerTest, EstimateIsTheMaximumOfTheLastThreeSeconds) {
    double at = startWithEstimate();
    at = frame(at, 2 * kTick, kFrameBytes, true);  // 250,000 B/s
    EXPECT_EQ(state().rateEstimate, kMeasuredRate);
    // Acknowledged just over 3 s after the 500,000 sample and just under 3 s after the
    // 250,000 one: the slower 125,000 B/s sample does not lower the maximum.
    frame(kOrigin + 3.0 - 2 * kTick, 4 * kTick, kFrameBytes, true);
    EXPECT_EQ(state().rateEstimate, kMeasuredRate / 2);
}

TEST_F(PacerTest, KeyFramesStayOutOfRecentAndTypicalSize) {
    double at = startWithEstimate();
    at = frame(at, kTick, 90'000, true);
    const auto s = state();
    EXPECT_EQ(s.recent, 1);
    EXPECT_EQ(s.typicalFrameBytes, kFrameBytes);
}

// Application-limited frames hold startup; the same small sizes as key frames do not.
TEST_F(PacerTest, StartupWaitsWhileTheSenderIsApplicationLimited) {
    struct Case {
        const char* note;
        bool keyframe;
        bool inStartupAfterTwoSeconds;
    };
    for (const Case c : {Case{"small non-key frames", false, true},
                         Case{"small key frames (drained after 0.45 s)", true, false}}) {
        VideoPacer local([this] { return now; });
        local.configure(true, 30, 6'000'000);
        double at = kOrigin;
        for (int i = 0; i < 64; ++i) {
            now = at;
            ASSERT_TRUE(local.tryReserve());
            // Under half of what 400,000 bit/s carries in a frame gap (833 bytes).
            local.didSend(500, c.keyframe);
            now = at += kTick;
            ASSERT_TRUE(local.acknowledge(i + 1));
        }
        EXPECT_EQ(local.debugState().mode == Mode::startup, c.inStartupAfterTwoSeconds) << c.note;
    }
}

// --- Modes and targets for a 500,000 B/s estimate with a 6,000,000 bit/s maximum -------------

TEST_F(PacerTest, StartupAimsAtTwiceTheRateClampedToTheMaximum) {
    startWithEstimate();
    const auto s = state();
    EXPECT_EQ(s.mode, Mode::startup);
    EXPECT_EQ(s.rateEstimate, kMeasuredRate);
    EXPECT_EQ(s.target, 6'000'000);  // 7,200,000 clamped
}

TEST_F(PacerTest, StartupDrainsWhenTheRateStopsGrowing) {
    const double at = reachDrain();
    const auto s = state();
    // The best rate was seen at the first acknowledgement (origin + 1 tick); 3 × 0.15 s
    // later with no growth, the next acknowledgement (origin + 16 ticks) drains.
    EXPECT_EQ(at, kOrigin + 16 * kTick);
    EXPECT_EQ(s.mode, Mode::drain);
    EXPECT_EQ(s.drainUntil, at + 1.0);
    EXPECT_EQ(s.target, 6'000'000);  // the computation that switched keeps startup's gain
}

TEST_F(PacerTest, DrainHoldsWhileTheQueueStaysThenCruisesWhenTimeIsUp) {
    double at = reachDrain();
    const double until = state().drainUntil;
    // Slow frames: the round trip stays far above the path delay.
    at = frame(at, 8 * kTick);
    EXPECT_EQ(state().mode, Mode::drain);
    EXPECT_EQ(state().target, 1'800'000);
    while (at <= until) at = frame(at, 8 * kTick);
    const auto s = state();
    EXPECT_EQ(s.mode, Mode::cruise);
    EXPECT_EQ(s.cycleIndex, 0);
    EXPECT_EQ(s.target, 1'800'000);  // the computation that switched keeps drain's gain
}

TEST_F(PacerTest, DrainEndsAsSoonAsARoundTripIsBackNearThePathDelay) {
    const double at = reachDrain();
    frame(at);
    const auto s = state();
    EXPECT_EQ(s.mode, Mode::cruise);
    EXPECT_EQ(s.cycleIndex, 0);
    EXPECT_EQ(s.target, 1'800'000);
}

TEST_F(PacerTest, CruiseCyclesTheGainTable) {
    double at = reachCruise();
    struct Phase {
        int64_t cycleIndex;
        int64_t target;
    };
    const Phase phases[] = {
        {0, 4'500'000},  // probe: 1.25
        {1, 2'880'000},  // dip: 0.8
        {2, 3'600'000}, {3, 3'600'000}, {4, 3'600'000},
        {5, 3'600'000}, {0, 4'500'000},  // and around again
    };
    // The acknowledgement one tick after entering cruise is still in phase 0.
    at = frame(at);
    for (const auto& phase : phases) {
        for (int i = 0; i < 20 && state().cycleIndex != phase.cycleIndex; ++i) at = frame(at);
        const auto s = state();
        EXPECT_EQ(s.mode, Mode::cruise);
        EXPECT_EQ(s.cycleIndex, phase.cycleIndex);
        EXPECT_EQ(s.target, phase.target) << "phase " << phase.cycleIndex;
        EXPECT_EQ(s.rateEstimate, kMeasuredRate);
        at = frame(at);  // move off the acknowledgement that entered the phase
    }
}

TEST_F(PacerTest, CruisePhaseLastsOneRound) {
    double at = reachCruise();
    // Phases last longer than max(path delay, 0.15 s): five ticks (0.156 s), not four.
    for (int i = 0; i < 4; ++i) at = frame(at);
    EXPECT_EQ(state().cycleIndex, 0);
    frame(at);
    EXPECT_EQ(state().cycleIndex, 1);
}

TEST_F(PacerTest, CruiseRemeasuresThePathDelayAfterEightSeconds) {
    double at = reachCruise();
    const double lastNear = at;
    // Round trips 50 % above the path delay: never near it, yet far from late.
    constexpr double slower = 1.5 * kTick;
    while (state().mode == Mode::cruise && at < lastNear + 20) at = frame(at, slower);
    const auto s = state();
    EXPECT_EQ(s.mode, Mode::drain);
    EXPECT_GT(at - lastNear, 8.0);
    EXPECT_LE(at - lastNear, 8.0 + 2 * slower);
    EXPECT_EQ(s.drainUntil, at + 0.3);  // max(2 × 1/32, 0.3)
    EXPECT_EQ(s.pathDelay, kTick);      // the ten-second minimum still holds
    // Drain runs at half the (now lower) estimate.
    EXPECT_EQ(s.target, static_cast<int64_t>(*s.rateEstimate * 8 * 0.9 * 0.5));
}

TEST_F(PacerTest, LatenessCutsTheEstimateAndDrains) {
    double at = reachCruise();
    // Six slow frames in a row: round trips of 1/4 s against a threshold of
    // 1/32 + 15,625 / 500,000 + 0.05 = 0.1125 s.
    for (int i = 0; i < 5; ++i) {
        at = frame(at, 8 * kTick);
        EXPECT_EQ(state().mode, Mode::cruise) << "frame " << i;
    }
    at = frame(at, 8 * kTick);
    const auto s = state();
    EXPECT_EQ(s.mode, Mode::drain);
    EXPECT_EQ(s.drainUntil, at + 1.0);
    EXPECT_EQ(s.recent, 0);
    // Five frames of 15,625 bytes over the 1.25 s between the first and last of them.
    EXPECT_EQ(s.rateEstimate, 62'500.0);
    EXPECT_EQ(s.target, 400'000);  // 225,000 × 0.5 is below the floor
}

TEST_F(PacerTest, RepeatedLatenessRelearnsThePathDelay) {
    double at = reachCruise();
    for (int i = 0; i < 6; ++i) at = frame(at, 8 * kTick);
    ASSERT_EQ(state().mode, Mode::drain);
    // One prompt frame ends the drain and measures 500,000 B/s again.
    at = frame(at);
    ASSERT_EQ(state().mode, Mode::cruise);
    // Six late frames within 2.5 s of the previous lateness: the path became slower.
    constexpr double slower = 12 * kTick;  // 0.375 s
    for (int i = 0; i < 6; ++i) at = frame(at, slower);
    const auto s = state();
    EXPECT_EQ(s.pathDelay, slower);
    EXPECT_EQ(s.recent, 0);
    EXPECT_EQ(s.mode, Mode::cruise);
    EXPECT_EQ(s.rateEstimate, kMeasuredRate);
}

// --- Statistics -----------------------------------------------------------------------------

TEST_F(PacerTest, StatsBeforeAnyMeasurement) {
    const auto stats = pacer.stats();
    EXPECT_EQ(stats.bitrate, 6'000'000);
    EXPECT_EQ(stats.fps, 0);
    EXPECT_FALSE(stats.pathDelayMs);
    EXPECT_FALSE(stats.roundTripMs);
    EXPECT_FALSE(stats.deliveryRate);
}

TEST_F(PacerTest, StatsReportMeasurements) {
    double at = startWithEstimate();
    at = frame(at, 2 * kTick);
    now = at;
    auto stats = pacer.stats();
    EXPECT_EQ(stats.bitrate, 6'000'000);
    EXPECT_EQ(stats.fps, 2);
    EXPECT_EQ(stats.pathDelayMs, 31);  // 31.25 ms
    EXPECT_EQ(stats.roundTripMs, 47);  // mean of 31.25 and 62.5 = 46.875 ms
    EXPECT_EQ(stats.deliveryRate, 4'000'000);
    // Deliveries older than a second no longer count.
    now = at + 1.0 - kTick;
    EXPECT_EQ(pacer.stats().fps, 1);
    now = at + 1.5;
    EXPECT_EQ(pacer.stats().fps, 0);
}

// --- Guards against degenerate input --------------------------------------------------------

// Empty frames give a delivery rate of zero. Transmission time at that rate must not become
// "not a number", which would declare every frame late.
TEST_F(PacerTest, ZeroRateEstimateDoesNotMakePromptFramesLate) {
    pacer.configure(true, 30, 6'000'000);
    // An empty key frame measures 0 B/s; startup, with nothing to grow from, drains.
    double at = frame(kOrigin, kTick, 0, true);
    ASSERT_EQ(state().rateEstimate, 0.0);
    ASSERT_EQ(state().mode, Mode::drain);
    for (int i = 1; i <= 60; ++i) {
        at = frame(at, kTick, 0);
        const auto s = state();
        // The first prompt frame ends the drain; none is ever judged late afterwards.
        ASSERT_EQ(s.mode, Mode::cruise) << "frame " << i;
        ASSERT_EQ(s.recent, std::min(i, 6)) << "frame " << i;
        ASSERT_EQ(s.rateEstimate, 0.0);
        ASSERT_EQ(s.typicalFrameBytes, 0);
        ASSERT_EQ(s.pathDelay, kTick);
        ASSERT_EQ(s.target, 400'000);
    }
}

TEST_F(PacerTest, HugeRatesSaturateInsteadOfOverflowing) {
    pacer.configure(true, 30, 6'000'000);
    frame(kOrigin, kTick, int64_t{4'000'000'000'000'000'000}, true);
    EXPECT_EQ(state().target, 6'000'000);
    EXPECT_EQ(pacer.stats().deliveryRate, std::numeric_limits<int64_t>::max());
}

TEST(VideoPacerClock, DefaultClockIsMonotonic) {
    const auto clock = VideoPacer::defaultClock();
    const double first = clock();
    EXPECT_LE(first, clock());
    VideoPacer pacer;
    pacer.configure(true, 30, 6'000'000);
    EXPECT_TRUE(pacer.tryReserve());
}

}  // namespace
}  // namespace caldrovex
