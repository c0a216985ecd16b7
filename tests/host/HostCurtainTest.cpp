// The privacy curtain as the host drives it, on virtual time with a fake curtain and watcher:
// shown only once the capture confirmed it leaves the curtain out and the settle time passed,
// a newer decision always winning over an older one, hidden at once when no longer wanted,
// lifted for the session by input at this computer, following the screens.

#include "HostFixture.h"
#include "host/CurtainControl.h"

namespace caldrovex::test {
namespace {

constexpr double kSettle = CurtainControl::kExclusionSettleSeconds;

class HostCurtain : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        settings->values["curtainEnabled"] = true;
        captureService->excludeAnswer = true;
    }

    // A sharing host with device A in session.
    void startSession() {
        makeSharingHost();
        device = pairNewDevice(kDeviceA);
        device->received.clear();
    }
    // The device asks for the stream; the capture starts and delivers a frame.
    void startStreaming(ControlMessage request = ControlMessage::make("stream")) {
        device->send(request);
        settle();
        ASSERT_FALSE(captureService->streams.empty());
        captureService->streams.back()->emit();
        settle();
    }
    // Streaming with the curtain shown.
    void startShown() {
        startSession();
        startStreaming();
        advance(kSettle);
        ASSERT_TRUE(curtain->shown);
    }
    SyntheticCaptureStream& stream() { return *captureService->streams.back(); }
    std::vector<std::string> notices() const {
        std::vector<std::string> texts;
        for (const auto& notice : device->receivedOf("notice")) texts.push_back(*notice.message);
        return texts;
    }

    std::unique_ptr<TestDevice> device;
};

TEST_F(HostCurtain, ShownOnlyAfterTheCaptureLeftItOutAndTheSettleTimePassed) {
    captureService->holdExcludes = true;
    startSession();
    startStreaming();
    ASSERT_EQ(stream().heldExcludes(), 1u);
    EXPECT_EQ(stream().excludedWindows, curtain->windowIDs());
    EXPECT_FALSE(curtain->windowIDs().empty());
    // However long the capture takes to answer, nothing shows meanwhile.
    advance(3);
    EXPECT_FALSE(curtain->shown);

    stream().answerExcludes();
    advance(kSettle - 0.01);
    EXPECT_FALSE(curtain->shown);
    advance(0.02);
    EXPECT_TRUE(curtain->shown);
    EXPECT_TRUE(localInput->watching());
    EXPECT_FALSE(host->published().curtainUnavailable);
}

TEST_F(HostCurtain, AnExclusionTheCaptureCannotMakeLeavesItHidden) {
    captureService->excludeAnswer = false;
    startSession();
    startStreaming();
    advance(1);
    EXPECT_FALSE(curtain->shown);
    EXPECT_EQ(curtain->reveals, 0);
    EXPECT_FALSE(localInput->watching());
}

TEST_F(HostCurtain, OfTwoQuickDecisionsOnlyTheSecondMayReveal) {
    captureService->holdExcludes = true;
    startSession();
    startStreaming();
    ASSERT_EQ(stream().heldExcludes(), 1u);
    // A second decision while the first waits for the capture.
    host->setCurtainEnabled(true);
    settle();
    EXPECT_EQ(stream().heldExcludes(), 1u) << "the second task waits for the first";

    // The first one's confirmation comes, and is stale by then.
    stream().answerExcludes();
    advance(kSettle);
    EXPECT_FALSE(curtain->shown);
    ASSERT_EQ(stream().heldExcludes(), 1u) << "now the second asks";
    advance(1);
    EXPECT_FALSE(curtain->shown);

    stream().answerExcludes();
    advance(kSettle);
    EXPECT_TRUE(curtain->shown);
    EXPECT_EQ(curtain->reveals, 1);
}

TEST_F(HostCurtain, TurningTheSettingOffHidesItAtOnceAndOnShowsItAgain) {
    startShown();
    host->setCurtainEnabled(false);
    EXPECT_FALSE(curtain->shown);
    EXPECT_FALSE(localInput->watching());
    EXPECT_EQ(settings->values["curtainEnabled"], false);
    EXPECT_FALSE(host->published().curtainEnabled);
    advance(1);
    EXPECT_FALSE(curtain->shown);

    host->setCurtainEnabled(true);
    settle();
    EXPECT_FALSE(curtain->shown);
    advance(kSettle);
    EXPECT_TRUE(curtain->shown);
}

TEST_F(HostCurtain, EveryEndOfTheSessionHidesIt) {
    struct Case {
        const char* what;
        std::function<void()> end;
    };
    const Case cases[] = {
        {"disconnect",
         [this] {
             device->send(ControlMessage::make("disconnect"));
             settle();
         }},
        // The capture stays warm for a return; the curtain does not.
        {"connection dropped",
         [this] {
             device->channel->cancel();
             settle();
         }},
        {"device revoked", [this] { host->revoke(kDeviceA); }},
        {"sharing stopped", [this] { host->stop(true); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        startShown();
        c.end();
        EXPECT_FALSE(curtain->shown);
        EXPECT_FALSE(localInput->watching());
        advance(1);
        EXPECT_FALSE(curtain->shown);
        device.reset();
        host.reset();
        settle();
    }
}

TEST_F(HostCurtain, AStreamRestartOrCaptureFailureTakesItDownUntilTheNewCaptureLeavesItOut) {
    startShown();
    auto restart = ControlMessage::make("stream");
    restart.restart = true;
    device->send(restart);
    settle();
    EXPECT_EQ(captureService->streams.size(), 2u);
    EXPECT_FALSE(curtain->shown) << "down while the new capture starts";
    advance(kSettle);
    EXPECT_TRUE(curtain->shown);
    EXPECT_EQ(stream().excludedWindows, curtain->windowIDs()) << "asked of the new capture";

    stream().failWith("The display stream stopped.");
    settle();
    EXPECT_FALSE(curtain->shown);
    EXPECT_FALSE(localInput->watching());
}

TEST_F(HostCurtain, AScreenAddedDuringTheSessionIsCoveredAfterTheNextExclusion) {
    startShown();
    const auto before = curtain->windowIDs();
    stream().holdExcludes = true;
    curtain->screens = 2;
    screenChanges->onScreensChanged();
    settle();
    ASSERT_EQ(curtain->windowIDs().size(), 2u);
    EXPECT_TRUE(std::includes(curtain->windowIDs().begin(), curtain->windowIDs().end(),
                              before.begin(), before.end()))
        << "the first screen keeps its window";
    ASSERT_EQ(stream().heldExcludes(), 1u);
    EXPECT_EQ(stream().excludedWindows, curtain->windowIDs());
    EXPECT_EQ(curtain->reveals, 1) << "no reveal before the capture confirmed both";

    stream().answerExcludes();
    advance(kSettle);
    EXPECT_EQ(curtain->reveals, 2);
    EXPECT_TRUE(curtain->shown);
}

TEST_F(HostCurtain, InputAtTheComputerLiftsItForTheRestOfTheSessionWithOneNotice) {
    startShown();
    localInput->personTyped();
    localInput->personTyped();
    settle();
    EXPECT_FALSE(curtain->shown);
    EXPECT_FALSE(localInput->watching());
    EXPECT_EQ(notices(), std::vector<std::string>{CurtainControl::kLiftedLocally});
    EXPECT_TRUE(host->debugState().curtain.liftedLocally);

    // A restarted stream does not bring it back, nor does more input send more notices.
    auto restart = ControlMessage::make("stream");
    restart.restart = true;
    startStreaming(restart);
    advance(1);
    localInput->personTyped();
    settle();
    EXPECT_FALSE(curtain->shown);
    EXPECT_EQ(notices().size(), 1u);

    // The next session has it again.
    device->send(ControlMessage::make("disconnect"));
    settle();
    EXPECT_FALSE(host->debugState().curtain.liftedLocally);
    device = authenticate(kDeviceA);
    startStreaming();
    advance(kSettle);
    EXPECT_TRUE(curtain->shown);
}

TEST_F(HostCurtain, WhereItCannotWorkItSaysSoAndNothingIsShown) {
    struct Case {
        const char* what;
        std::function<void()> breakIt;
        const char* sentence;
    };
    const Case cases[] = {
        {"no curtain windows",
         [this] {
             curtain->unavailableReason =
                 CaldrovexError("This computer's screen cannot be dimmed on a Wayland session.");
         },
         "This computer's screen cannot be dimmed on a Wayland session."},
        {"no watching of local input",
         [this] {
             localInput->unavailableReason = CaldrovexError(
                 "Input at this computer cannot be watched: the X display lacks "
                 "the XInput2 extension.");
         },
         "Input at this computer cannot be watched: the X display lacks the XInput2 "
         "extension."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.breakIt();
        startSession();
        EXPECT_EQ(host->published().curtainUnavailable, c.sentence);
        startStreaming();
        advance(1);
        EXPECT_EQ(curtain->prepares, 0);
        EXPECT_FALSE(curtain->shown);
        device.reset();
        host.reset();
        settle();
        curtain->unavailableReason.reset();
        localInput->unavailableReason.reset();
    }
}

// A curtain that nobody at the computer could lift would lock them out of their own screen.
TEST_F(HostCurtain, WhenLocalInputCannotBeWatchedNowItIsNotShown) {
    localInput->refuseStart = true;
    startSession();
    startStreaming();
    advance(1);
    EXPECT_FALSE(curtain->shown);
    EXPECT_EQ(curtain->reveals, 0);
}

}  // namespace
}  // namespace caldrovex::test
