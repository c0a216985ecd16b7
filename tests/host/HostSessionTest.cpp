// The admitted device's session: its messages, streaming start and resume, the warm hold,
// power assertions and the clipboard, on virtual time with a fake screen streamer.

#include "HostFixture.h"
#include "host/CaptureControl.h"

namespace caldrovex::test {
namespace {

constexpr const char* kWarmStatus = "Connection dropped · display held 30 s for a quick return";

class HostSession : public HostFixture {
protected:
    // A sharing host with device A paired and in session; `idleStatus` is the host's status
    // with no session.
    void SetUp() override {
        HostFixture::SetUp();
        setUpSession();
    }
    // A fresh host and capture service, with device A in session.
    void setUpSession() {
        device.reset();
        host.reset();
        settle();
        captureService->displayList = {{11, "DP-1", 0, 0, 2560, 1440},
                                       {12, "HDMI-1", 2560, 0, 1920, 1080}};
        captureService->displaysAnswer = {};
        captureService->startAnswer = {};
        makeSharingHost();
        idleStatus = host->published().status;
        device = pairNewDevice(kDeviceA);
        device->received.clear();
    }

    static ControlMessage streamRequest() { return ControlMessage::make("stream"); }

    // Asks for the stream and lets the capture start and deliver its first frame.
    void startStreaming(TestDevice& on, ControlMessage request = streamRequest()) {
        on.send(request);
        settle();
        ASSERT_FALSE(captureService->streams.empty());
        captureService->streams.back()->emit();
        settle();
    }
    // The newest capture stream runs (it was started and not stopped).
    bool capturing() const {
        return !captureService->streams.empty() && captureService->streams.back()->running();
    }
    const CaptureConfiguration& lastConfiguration() const {
        return captureService->streams.back()->configuration;
    }
    // The device's connection drops; the host notices.
    void drop(std::unique_ptr<TestDevice>& which) {
        which->channel->cancel();
        settle();
    }
    size_t count(const TestDevice& on, const std::string& type) const {
        return on.receivedOf(type).size();
    }
    size_t startCount() const { return captureService->streams.size(); }

    std::string idleStatus;
    std::unique_ptr<TestDevice> device;
};

TEST_F(HostSession, PingIsAnsweredWithThePacersFigures) {
    device->send(ControlMessage::make("ping"));
    settle();
    ASSERT_EQ(count(*device, "pong"), 1u);
    const auto stats = host->debugState().activeConnection->pacer->stats();
    EXPECT_EQ(device->receivedOf("pong")[0].bitrate, stats.bitrate);
    EXPECT_EQ(device->receivedOf("pong")[0].fps, stats.fps);
}

TEST_F(HostSession, StreamWithoutFieldsStartsWithTheDefaults) {
    startStreaming(*device);
    EXPECT_EQ(device->types(), (std::vector<std::string>{"permissions", "streaming"}));
    EXPECT_EQ(device->receivedOf("permissions")[0].controlAllowed, false);
    ASSERT_EQ(startCount(), 1u);
    EXPECT_EQ(lastConfiguration().fps, 30);
    EXPECT_EQ(lastConfiguration().width, 1920);
    EXPECT_EQ(captureService->streams[0]->display.id, 11u) << "the first display";

    const auto streaming = device->receivedOf("streaming")[0];
    EXPECT_EQ(streaming.displays,
              (std::vector<RemoteDisplay>{{11, "DP-1", 2560, 1440}, {12, "HDMI-1", 1920, 1080}}));
    EXPECT_EQ(streaming.displayID, 11u);
    EXPECT_EQ(streaming.width, 1920);
    EXPECT_EQ(streaming.height, 1080);
    EXPECT_EQ(streaming.controlAllowed, false) << "remote control is off by default";
    EXPECT_EQ(host->debugState().capture->settings.bitrate, 6'000'000);
    EXPECT_EQ(input->displayID, 11u);
    EXPECT_TRUE(host->debugState().streamReady);
}

TEST_F(HostSession, SettingsAreClampedToTheirBounds) {
    struct Case {
        std::optional<int64_t> fps, maxWidth, bitrate;
        int expectFps, expectWidth, expectBitrate;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, 30, 1920, 6'000'000},
        {5, 640, 100'000'000, 10, 960, 24'000'000},
        {120, 5000, 10, 60, 3840, 1'000'000},
        {24, 1280, 2'500'000, 24, 1280, 2'500'000},
    };
    for (const auto& c : cases) {
        auto message = streamRequest();
        message.fps = c.fps;
        message.maxWidth = c.maxWidth;
        message.bitrate = c.bitrate;
        const auto settings = CaptureControl::settings(message);
        EXPECT_EQ(settings.fps, c.expectFps);
        EXPECT_EQ(settings.maxWidth, c.expectWidth);
        EXPECT_EQ(settings.bitrate, c.expectBitrate);
    }
}

TEST_F(HostSession, WithoutScreenPermissionTheStreamIsRefused) {
    permissions->screen = false;
    device->send(streamRequest());
    settle();
    ASSERT_EQ(device->types(), (std::vector<std::string>{"hostPermission"}));
    EXPECT_EQ(
        device->received[0].message,
        "Allow access to the X display for Orvelo Host on this computer, then reopen the host.");
    EXPECT_EQ(startCount(), 0u);

    // A platform that knows why (no display, a session it cannot capture) says that instead.
    permissions->problem = "No display is there.";
    device->send(streamRequest());
    settle();
    ASSERT_EQ(device->received.size(), 2u);
    EXPECT_EQ(device->received[1].type, "hostPermission");
    EXPECT_EQ(device->received[1].message, "No display is there.");
}

TEST_F(HostSession, TwoQuickRequestsLeaveOneCaptureAndOneStreaming) {
    device->send(streamRequest());
    auto second = streamRequest();
    second.fps = 60;
    device->send(second);
    settle();
    // However far the first got, only the second one's capture runs.
    for (size_t i = 0; i + 1 < startCount(); ++i)
        EXPECT_FALSE(captureService->streams[i]->running());
    EXPECT_TRUE(capturing());
    EXPECT_EQ(lastConfiguration().fps, 60);
    EXPECT_EQ(count(*device, "streaming"), 1u);
    EXPECT_EQ(count(*device, "permissions"), 2u);
    EXPECT_EQ(host->debugState().capture->settings.fps, 60);
}

TEST_F(HostSession, ARequestSupersededWhileDisplaysWakeStartsNothing) {
    power->awake = false;
    power->pollsUntilAwake = 3;
    device->send(streamRequest());
    settle();
    device->send(ControlMessage::make("disconnect"));
    settle();
    advance(5);
    EXPECT_EQ(startCount(), 0u);
    EXPECT_EQ(count(*device, "streaming"), 0u);
    EXPECT_FALSE(host->debugState().capture.has_value());
}

TEST_F(HostSession, FailuresToStartAreReportedAndTheSessionStays) {
    struct Case {
        const char* name;
        std::function<void(SyntheticCaptureService&)> breakIt;
        std::string message;
    };
    const Case cases[] = {
        {"listing hangs", [](SyntheticCaptureService& s) { s.displaysAnswer.answers = false; },
         kCaptureTimedOutMessage},
        {"listing fails",
         [](SyntheticCaptureService& s) {
             s.displaysAnswer.error = CaldrovexError("Listing failed.");
         },
         "Listing failed."},
        {"no display", [](SyntheticCaptureService& s) { s.displayList.clear(); },
         "No display is available. Keep a display connected to this computer."},
        {"start fails",
         [](SyntheticCaptureService& s) {
             s.startAnswer.error = CaldrovexError("Capture refused.");
         },
         "Capture refused."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setUpSession();
        c.breakIt(*captureService);
        device->send(streamRequest());
        settle();
        advance(9);
        ASSERT_EQ(count(*device, "hostUnavailable"), 1u);
        EXPECT_EQ(device->receivedOf("hostUnavailable")[0].message, c.message);
        EXPECT_EQ(host->activeDeviceID(), kDeviceA);
        EXPECT_FALSE(device->closed);
        EXPECT_FALSE(host->debugState().streamReady);
    }
}

TEST_F(HostSession, ACaptureFailureWhileStreamingIsReportedOnceAndStopsTheCapture) {
    startStreaming(*device);
    auto stream = captureService->streams.back();
    stream->failWith("The display stream stopped.");
    settle();
    ASSERT_EQ(count(*device, "hostUnavailable"), 1u);
    EXPECT_EQ(device->receivedOf("hostUnavailable")[0].message, "The display stream stopped.");
    EXPECT_FALSE(host->debugState().streamReady);
    EXPECT_FALSE(host->debugState().capture.has_value());
    EXPECT_FALSE(device->closed);

    // A report about the capture that was just stopped is stale.
    stream->failWith("late report");
    settle();
    EXPECT_EQ(count(*device, "hostUnavailable"), 1u);
}

TEST_F(HostSession, StreamingTakesBothPowerAssertionsAndTheEndReleasesThem) {
    startStreaming(*device);
    EXPECT_EQ(power->held.size(), 2u);
    EXPECT_EQ(power->names,
              (std::vector<std::string>{"Orvelo remote session", "Orvelo display stream"}));
    // A second stream in the same session takes nothing more.
    startStreaming(*device, [] {
        auto m = ControlMessage::make("stream");
        m.restart = true;
        return m;
    }());
    EXPECT_EQ(power->names.size(), 2u);
    device->send(ControlMessage::make("disconnect"));
    settle();
    EXPECT_TRUE(power->held.empty());
}

TEST_F(HostSession, AScreenLockedAtStartGetsANoticeAfterStreaming) {
    power->locked = true;
    startStreaming(*device);
    EXPECT_EQ(device->types(), (std::vector<std::string>{"permissions", "streaming", "notice"}));
    EXPECT_EQ(
        device->receivedOf("notice")[0].message,
        "This computer's screen is locked. Type your password with the keyboard to unlock it.");
}

TEST_F(HostSession, SleepingDisplaysAreWokenBeforeCapture) {
    power->awake = false;
    power->pollsUntilAwake = 5;
    device->send(streamRequest());
    settle();
    EXPECT_EQ(power->activityName, "Orvelo remote session");
    EXPECT_EQ(startCount(), 0u);
    advance(5.0);
    ASSERT_EQ(startCount(), 1u);
    EXPECT_EQ(count(*device, "streaming"), 1u);
}

TEST_F(HostSession, DisplaysThatNeverWakeDelayTheStartByAtMostFourPointFourSeconds) {
    power->awake = false;
    power->pollsUntilAwake = 1'000;
    device->send(streamRequest());
    settle();
    advance(4.39);
    EXPECT_EQ(startCount(), 0u);
    advance(0.02);
    EXPECT_EQ(startCount(), 1u);
    EXPECT_EQ(power->awakeQueries, 41) << "the first check and forty polls";
}

// ---- The warm hold ----

TEST_F(HostSession, ADroppedStreamIsHeldThirtySecondsThenStopped) {
    startStreaming(*device);
    drop(device);
    EXPECT_EQ(host->published().status, kWarmStatus);
    EXPECT_EQ(host->debugState().warmDeviceID, kDeviceA);
    EXPECT_TRUE(host->debugState().capture.has_value());
    EXPECT_TRUE(capturing()) << "capture keeps running";

    advance(29.9);
    EXPECT_TRUE(host->debugState().capture.has_value());
    advance(0.2);
    EXPECT_FALSE(host->debugState().capture.has_value());
    EXPECT_FALSE(capturing());
    EXPECT_EQ(host->published().status, idleStatus);
}

TEST_F(HostSession, TheSameDeviceReturningWithTheSameSettingsResumesAtOnce) {
    startStreaming(*device);
    drop(device);
    advance(10);
    auto back = authenticate(kDeviceA);
    back->received.clear();
    back->send(streamRequest());
    settle();
    EXPECT_EQ(back->types(), (std::vector<std::string>{"streaming"})) << "no permissions message";
    EXPECT_EQ(startCount(), 1u) << "no new capture";
    EXPECT_FALSE(host->debugState().warmDeviceID.has_value());

    // The old hold's expiry must not stop the resumed capture.
    advance(25);
    EXPECT_TRUE(host->debugState().capture.has_value());
    EXPECT_TRUE(capturing());
}

TEST_F(HostSession, ARestartOrOtherSettingsAfterReturnStartFresh) {
    struct Case {
        const char* name;
        std::function<void(ControlMessage&)> change;
    };
    const Case cases[] = {
        {"restart", [](ControlMessage& m) { m.restart = true; }},
        {"other fps", [](ControlMessage& m) { m.fps = 60; }},
        {"other display", [](ControlMessage& m) { m.displayID = 12; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto current = authenticate(kDeviceA, true);
        startStreaming(*current);
        const size_t before = startCount();
        drop(current);
        auto back = authenticate(kDeviceA);
        back->received.clear();
        auto request = streamRequest();
        c.change(request);
        back->send(request);
        settle();
        EXPECT_EQ(startCount(), before + 1);
        EXPECT_EQ(back->types().front(), "permissions");
        back->send(ControlMessage::make("disconnect"));
        settle();
    }
}

TEST_F(HostSession, AReturnThatDropsAgainKeepsTheFirstDeadline) {
    startStreaming(*device);
    drop(device);
    advance(10);
    auto back = authenticate(kDeviceA);
    advance(10);
    drop(back);
    EXPECT_EQ(host->published().status, kWarmStatus);
    advance(10.1);
    EXPECT_FALSE(host->debugState().capture.has_value()) << "30 s after the first drop";
    EXPECT_EQ(host->published().status, idleStatus);
}

TEST_F(HostSession, AnotherDeviceReleasesTheHold) {
    startStreaming(*device);
    drop(device);
    auto other = pairNewDevice(kDeviceB, "Bea's Tablet");
    EXPECT_FALSE(host->debugState().warmDeviceID.has_value());
    EXPECT_FALSE(host->debugState().capture.has_value());
    EXPECT_FALSE(capturing());
}

TEST_F(HostSession, SilenceEndsTheSessionWarmAndDisconnectEndsItCold) {
    startStreaming(*device);
    advance(21);
    EXPECT_TRUE(device->closed);
    EXPECT_EQ(host->debugState().warmDeviceID, kDeviceA);
    EXPECT_EQ(host->published().status, kWarmStatus);
    advance(6);
    EXPECT_EQ(host->published().status, kWarmStatus) << "address refreshes keep the sentence";

    auto back = authenticate(kDeviceA);
    startStreaming(*back);
    back->send(ControlMessage::make("disconnect"));
    settle();
    EXPECT_FALSE(host->debugState().warmDeviceID.has_value());
    EXPECT_FALSE(host->debugState().capture.has_value());
    EXPECT_EQ(host->published().status, idleStatus);
}

TEST_F(HostSession, ADroppedSessionWithoutAStreamHoldsNothing) {
    drop(device);
    EXPECT_FALSE(host->debugState().warmDeviceID.has_value());
    EXPECT_EQ(host->published().status, idleStatus);
}

// ---- Input and clipboard ----

class HostSessionControl : public HostSession {
protected:
    static ControlMessage pointerMove() {
        auto message = ControlMessage::make("input");
        message.event = "move";
        message.x = 0.5;
        message.y = 0.5;
        return message;
    }
    static ControlMessage keyDown() {
        auto message = ControlMessage::make("input");
        message.event = "key";
        message.keyCode = 0;  // A
        message.keyDown = true;
        return message;
    }
    static ControlMessage clipboardMessage(const std::string& text,
                                           std::optional<std::string> event) {
        auto message = ControlMessage::make("clipboard");
        message.text = text;
        message.event = std::move(event);
        return message;
    }
    size_t keyEvents() const {
        return static_cast<size_t>(
            std::count_if(injected.begin(), injected.end(),
                          [](const InputEvent& e) { return e.kind == InputEvent::Kind::key; }));
    }
};

TEST_F(HostSessionControl, InputAndClipboardNeedControlToBePermitted) {
    struct Case {
        const char* name;
        bool controlEnabled;
        bool streaming;
        bool injection;
    };
    // In this order: the stream, once started, stays for the cases after it.
    const Case refused[] = {
        {"no stream", true, false, true},
        {"control off", false, true, true},
        {"no injection", true, true, false},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        host->setControlEnabled(c.controlEnabled);
        permissions->injection = c.injection;
        if (c.streaming) startStreaming(*device);
        device->received.clear();
        device->send(pointerMove());
        device->send(clipboardMessage("secret", "paste"));
        device->send(ControlMessage::make("clipboardRequest"));
        settle();
        EXPECT_TRUE(injected.empty());
        EXPECT_EQ(clipboard->writes, 0);
        ASSERT_EQ(count(*device, "notice"), 1u);
        EXPECT_EQ(device->receivedOf("notice").back().message,
                  "Allow remote control in Orvelo Host to copy from this computer.");
        EXPECT_EQ(count(*device, "clipboard"), 0u);
    }
}

TEST_F(HostSessionControl, PermittedInputIsInjectedAndReleaseLetsGo) {
    host->setControlEnabled(true);
    startStreaming(*device);
    EXPECT_EQ(device->receivedOf("streaming")[0].controlAllowed, true);
    device->send(pointerMove());
    device->send(keyDown());
    settle();
    ASSERT_FALSE(injected.empty());
    EXPECT_EQ(input->heldKeys().size(), 1u);
    device->send(ControlMessage::make("release"));
    settle();
    EXPECT_TRUE(input->heldKeys().empty());
}

TEST_F(HostSessionControl, TurningControlOffReleasesHeldKeys) {
    host->setControlEnabled(true);
    startStreaming(*device);
    device->send(keyDown());
    settle();
    ASSERT_EQ(input->heldKeys().size(), 1u);
    host->setControlEnabled(false);
    EXPECT_TRUE(input->heldKeys().empty());
    EXPECT_EQ(device->receivedOf("permissions").back().controlAllowed, false);
}

TEST_F(HostSessionControl, APasteSetsTheClipboardAndPressesCommandVOnce) {
    host->setControlEnabled(true);
    startStreaming(*device);
    device->send(clipboardMessage("hello", "paste"));
    settle();
    EXPECT_EQ(clipboard->content, "hello");
    ASSERT_EQ(keyEvents(), 2u) << "one press and one release of V";
    EXPECT_TRUE(input->heldKeys().empty());

    device->send(clipboardMessage("no paste", std::nullopt));
    settle();
    EXPECT_EQ(clipboard->content, "no paste");
    EXPECT_EQ(keyEvents(), 2u);
}

TEST_F(HostSessionControl, AClipboardRequestGetsTheDesktopsText) {
    host->setControlEnabled(true);
    startStreaming(*device);
    clipboard->content = std::string(200'000, 'x');
    device->send(ControlMessage::make("clipboardRequest"));
    clipboard->content.reset();
    settle();
    // The clipboard is read when the request is handled: nothing there means empty text.
    ASSERT_EQ(count(*device, "clipboard"), 1u);
    EXPECT_EQ(device->receivedOf("clipboard")[0].text, "");

    clipboard->content = std::string(200'000, 'x');
    device->send(ControlMessage::make("clipboardRequest"));
    settle();
    EXPECT_EQ(device->receivedOf("clipboard")[1].text->size(), 45'000u);
}

TEST_F(HostSessionControl, AnUnavailableClipboardIsSaidInsteadOfPastingOrCopying) {
    host->setControlEnabled(true);
    startStreaming(*device);
    clipboard->content = "left alone";
    clipboard->whyUnavailable = "The clipboard cannot be shared here.";
    device->received.clear();
    device->send(clipboardMessage("hello", "paste"));
    device->send(ControlMessage::make("clipboardRequest"));
    settle();
    // Nothing written and no Command-V: a paste would insert whatever was there before.
    EXPECT_EQ(clipboard->writes, 0);
    EXPECT_EQ(keyEvents(), 0u);
    EXPECT_EQ(count(*device, "clipboard"), 0u);
    ASSERT_EQ(count(*device, "notice"), 2u);
    for (const auto& notice : device->receivedOf("notice"))
        EXPECT_EQ(notice.message, "The clipboard cannot be shared here.");
}

}  // namespace
}  // namespace caldrovex::test
