// The GNOME Wayland back ends against a real headless GNOME compositor (tests/run-with-mutter):
// the displays it lists; the real host streaming a Wayland client's window to the real device
// through the screen cast, PipeWire, the encoder and the decoder; the device's pointer,
// buttons, keys and text reaching that client; the clipboard; and, through the
// adapters themselves, scrolling and the release of held keys when the session ends.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <X11/keysym.h>

#include "adapters/mutter/MutterCall.h"
#include "adapters/mutter/MutterCaptureService.h"
#include "adapters/mutter/MutterDesktop.h"
#include "adapters/mutter/MutterInputEmitter.h"
#include "adapters/pipewire/PipeWireCaptureStream.h"
#include "adapters/qt/QtPrivacyCurtain.h"
#include "e2e/HostHarness.h"
#include "input/InputController.h"
#include "platform/SerialQueue.h"

namespace caldrovex::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// The wrapper's virtual monitor.
constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;
// The window's colour.
constexpr std::array<int, 3> kColour = {0x20, 0xC0, 0x40};
// Linux's BTN_LEFT.
constexpr int kLeftButton = 272;

// The test's own Wayland client: a fullscreen window that reports what reaches it.
class TestWindow {
public:
    TestWindow() : process_(binary("caldrovex-wayland-window"), {"20C040"}, {}) {}

    // Waits until the window shows.
    bool shown() { return process_.waitForPrefix("ready", 0, kProcessWait).has_value(); }
    std::optional<std::string> next(const std::string& line, size_t from = 0) {
        return process_.waitForLine([&](const std::string& text) { return text == line; }, from,
                                    kProcessWait);
    }
    std::optional<std::string> nextPrefix(const std::string& prefix, size_t from) {
        return process_.waitForPrefix(prefix, from, kProcessWait);
    }
    size_t lines() const { return process_.output().size(); }
    // Where `line` came first from line `from` on.
    std::optional<size_t> indexOf(const std::string& line, size_t from) const {
        const auto output = process_.output();
        for (size_t i = from; i < output.size(); ++i)
            if (output[i] == line) return i;
        return std::nullopt;
    }
    // The "text" lines from line `from` on, in order.
    std::vector<std::string> typed(size_t from) const {
        std::vector<std::string> texts;
        const auto output = process_.output();
        for (size_t i = from; i < output.size(); ++i)
            if (output[i].rfind("text ", 0) == 0) texts.push_back(output[i].substr(5));
        return texts;
    }
    // What reached the window as text from line `from` on, in order: "text" and "paste" lines.
    std::vector<std::string> entered(size_t from) const {
        std::vector<std::string> lines;
        const auto output = process_.output();
        for (size_t i = from; i < output.size(); ++i)
            if (output[i].rfind("text ", 0) == 0 || output[i].rfind("paste ", 0) == 0)
                lines.push_back(output[i]);
        return lines;
    }
    bool write(const std::string& line) { return process_.writeLine(line); }
    std::string transcript() const { return process_.transcript(); }

private:
    ChildProcess process_;
};

// The seat's own keyboard, as a real computer has one: a remote-desktop session of the test's
// that sends one key and stays open for the whole run. The headless compositor's seat has no
// keyboard otherwise, except while a host's session runs. GNOME 43 hands a window the
// clipboard's offers only when it gets the input focus while the seat has a keyboard: a window
// focused between two sessions got the keys of the next one but never a clipboard offer.
class SeatKeyboard {
public:
    SeatKeyboard() {
        GError* raw = nullptr;
        connection_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw));
        platform::GErrorPtr error(raw);
        if (!connection_) throw CaldrovexError("no session bus");
        auto reply = platform::callOrThrow(
            connection_.get(), platform::kRemoteDesktopName, platform::kRemoteDesktopPath,
            platform::kRemoteDesktopName, "CreateSession", nullptr, "(o)", "no keyboard session");
        const char* path = nullptr;
        g_variant_get(reply.get(), "(&o)", &path);
        path_ = path;
        call("Start", nullptr);
        // The first key makes the compositor's virtual keyboard (and is lost doing so).
        for (bool down : {true, false})
            call("NotifyKeyboardKeysym", g_variant_new("(ub)", XK_Shift_L, gboolean(down)));
    }

private:
    void call(const char* method, GVariant* parameters) {
        platform::callOrThrow(connection_.get(), platform::kRemoteDesktopName, path_,
                              platform::kRemoteDesktopSession, method, parameters, nullptr,
                              "keyboard session");
    }

    platform::ConnectionPtr connection_;
    std::string path_;
};

class GnomeWayland : public ::testing::Test {
protected:
    // The keyboard comes first, and is there before any window of the tests takes the focus:
    // a first window only shows it the keyboard's focus once the seat has one.
    static void SetUpTestSuite() {
        static SeatKeyboard keyboard;
        TestWindow probe;
        ASSERT_TRUE(probe.shown()) << probe.transcript();
        ASSERT_TRUE(probe.next("focus")) << probe.transcript();
    }

    // The window shows and has the keyboard's focus, which it needs to take the clipboard.
    void SetUp() override {
        ASSERT_TRUE(window.shown()) << window.transcript();
        ASSERT_TRUE(window.next("focus")) << window.transcript();
    }

    // A host (with `hostArguments`), the device paired with it and streaming.
    void startStreaming(const std::vector<std::string>& hostArguments = {}) {
        auto arguments = hostArguments;
        arguments.push_back("--pair");
        host = std::make_unique<HostProcess>(scratch, address, arguments);
        auto linkLine = host->next("link: ", 0);
        ASSERT_TRUE(linkLine) << host->process.transcript();
        auto paired = runDevice(scratch, {"pair", linkLine->substr(6)});
        ASSERT_EQ(paired.status, 0) << paired.transcript();
        viewer = std::make_unique<ChildProcess>(
            binary("caldrovex-device"),
            std::vector<std::string>{"--state", scratch.stateFile().string(), "--timeout", "45",
                                     "stream", "--log-frames", "--probe", "0.5,0.5"},
            scratch.environment());
        ASSERT_TRUE(waitForMessage("streaming", 0))
            << viewer->transcript() << host->process.transcript();
    }

    std::optional<json> waitForMessage(const std::string& type, size_t from) {
        auto line = viewer->waitForLine(
            [&](const std::string& text) {
                return text.find("\"type\":\"" + type + "\"") != std::string::npos;
            },
            from, kProcessWait);
        if (!line) return std::nullopt;
        return json::parse(*line);
    }

    bool waitForColour(std::array<int, 3> rgb) {
        auto line = viewer->waitForLine(
            [&](const std::string& text) {
                if (text.find("\"event\":\"frame\"") == std::string::npos) return false;
                const auto probe = json::parse(text)["probe"];
                for (int c = 0; c < 3; ++c)
                    if (std::abs(probe[c].get<int>() - rgb[c]) > 16) return false;
                return true;
            },
            0, kProcessWait);
        return line.has_value();
    }

    TestWindow window;
    UserScratch scratch;
    const std::string address = freshLoopbackAddress();
    std::unique_ptr<HostProcess> host;
    std::unique_ptr<ChildProcess> viewer;
};

TEST_F(GnomeWayland, TheHostChoosesTheGnomeBackEndsAndListsTheMonitor) {
    auto desktop = platform::MutterDesktop::open();
    ASSERT_TRUE(desktop);
    EXPECT_TRUE(desktop->offersScreenCast());
    EXPECT_TRUE(desktop->offersRemoteDesktop());
    auto monitors = desktop->monitors();
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_TRUE(monitors[0].primary);
    EXPECT_EQ(monitors[0].display,
              (CaptureDisplay{platform::displayIDOf(monitors[0].connector), monitors[0].connector,
                              0, 0, kScreenWidth, kScreenHeight}));
}

TEST_F(GnomeWayland, TheDeviceSeesTheWindow) {
    startStreaming();
    EXPECT_TRUE(waitForColour(kColour)) << viewer->transcript();
    EXPECT_NE(host->process.transcript().find("screen capture: yes"), std::string::npos);
    EXPECT_NE(host->process.transcript().find("input injection: yes"), std::string::npos);
    EXPECT_NE(host->process.transcript().find(std::string("curtain: unavailable (") +
                                              platform::QtPrivacyCurtain::kWaylandSentence + ")"),
              std::string::npos)
        << host->process.transcript();
}

TEST_F(GnomeWayland, PointerButtonsKeysAndTextReachTheWindow) {
    startStreaming({"--control"});
    size_t from = window.lines();
    // The first key of the session comes first: the compositor must not swallow it.
    ASSERT_TRUE(viewer->writeLine("key 0"));
    EXPECT_TRUE(window.next("key a pressed", from)) << window.transcript();
    EXPECT_TRUE(window.next("text a", from)) << window.transcript();
    EXPECT_TRUE(window.next("key a released", from)) << window.transcript();

    ASSERT_TRUE(viewer->writeLine("move 0.25 0.5"));
    EXPECT_TRUE(window.next("motion 480 540", from)) << window.transcript();
    ASSERT_TRUE(viewer->writeLine("click 0.5 0.5"));
    EXPECT_TRUE(window.next("motion 960 540", from)) << window.transcript();
    EXPECT_TRUE(window.next("button " + std::to_string(kLeftButton) + " pressed", from));
    EXPECT_TRUE(window.next("button " + std::to_string(kLeftButton) + " released", from));

    from = window.lines();
    ASSERT_TRUE(viewer->writeLine("text Hi!"));
    ASSERT_TRUE(window.next("text !", from)) << window.transcript();
    EXPECT_EQ(window.typed(from), (std::vector<std::string>{"H", "i", "!"}));
}

// The compositor types a keysym only through a key of its layout (US here): what has none is
// pasted, in its place, and the user's clipboard gets its text back.
TEST_F(GnomeWayland, TextOutsideTheKeyboardLayoutReachesTheWindow) {
    startStreaming({"--control"});
    size_t from = window.lines();
    ASSERT_TRUE(window.write("copy the user's own"));
    ASSERT_TRUE(window.next("copied", from)) << window.transcript();
    from = window.lines();
    ASSERT_TRUE(viewer->writeLine("text aé€b"));
    ASSERT_TRUE(window.next("text b", from)) << window.transcript();
    EXPECT_EQ(window.entered(from), (std::vector<std::string>{"text a", "paste é€", "text b"}));
    EXPECT_TRUE(window.next("key Control_L released", from)) << "nothing left pressed";
    from = window.lines();
    ASSERT_TRUE(window.write("read"));
    EXPECT_TRUE(window.next("clipboard the user's own", from)) << window.transcript();
}

TEST_F(GnomeWayland, ClipboardTextFromTheDeviceReachesTheWindow) {
    startStreaming({"--control"});
    const std::string fromDevice = "from the device: ünïcode ✓";
    size_t from = window.lines();
    ASSERT_TRUE(viewer->writeLine("clipboard " + fromDevice));
    ASSERT_TRUE(window.next("offered", from)) << window.transcript();
    ASSERT_TRUE(window.write("read"));
    EXPECT_TRUE(window.next("clipboard " + fromDevice, from)) << window.transcript();
}

TEST_F(GnomeWayland, ClipboardTextFromTheDesktopReachesTheDevice) {
    startStreaming({"--control"});
    const std::string fromDesktop = "from the desktop ✓";
    size_t from = window.lines();
    ASSERT_TRUE(window.write("copy " + fromDesktop));
    ASSERT_TRUE(window.next("copied", from)) << window.transcript();
    // The host learns of the new owner from the compositor's signal, which races the device's
    // request: ask again (each time after the previous answer) until it has, or give up.
    std::optional<json> reply;
    const auto deadline = std::chrono::steady_clock::now() + kProcessWait;
    while (!(reply && (*reply)["text"] == fromDesktop) &&
           std::chrono::steady_clock::now() < deadline) {
        const size_t before = viewer->output().size();
        ASSERT_TRUE(viewer->writeLine("clipboardRequest"));
        reply = waitForMessage("clipboard", before);
        ASSERT_TRUE(reply) << viewer->transcript();
    }
    EXPECT_EQ((*reply)["text"], fromDesktop) << host->process.transcript();
}

// The adapters without the host: a capture stream of the monitor, whose remote-desktop session
// the emitter's input goes to.
class GnomeAdapters : public GnomeWayland {
protected:
    void startStream() {
        desktop = platform::MutterDesktop::open();
        ASSERT_TRUE(desktop);
        auto clock = platform::SystemClock::shared();
        service = std::make_unique<platform::MutterCaptureService>(
            desktop,
            [clock](uint32_t node, const CaptureDisplay& monitor,
                    const CaptureConfiguration& configuration, platform::QueuePtr queue,
                    CaptureService::FrameHandler onFrame, CaptureService::StopHandler onStop) {
                return std::make_shared<platform::PipeWireCaptureStream>(
                    node, monitor, configuration, std::move(queue), clock, std::move(onFrame),
                    std::move(onStop));
            });
        display = desktop->monitors().at(0).display;
        auto queue = platform::SerialQueue::make("caldrovex.capture");
        auto pictured = std::make_shared<std::promise<void>>();
        auto shown = pictured->get_future();
        auto once = std::make_shared<std::once_flag>();
        stream = service->makeStream(
            display, CaptureConfiguration{960, 540, 30, true}, queue,
            [pictured, once](VideoFrame frame, MediaTime) {
                if (frame.width() == 960) std::call_once(*once, [&] { pictured->set_value(); });
            },
            [](const std::string&) {});
        std::promise<std::optional<CaldrovexError>> started;
        stream->startCapture(
            [&](std::optional<CaldrovexError> error) { started.set_value(error); });
        auto startResult = started.get_future();
        ASSERT_EQ(startResult.wait_for(kProcessWait), std::future_status::ready);
        ASSERT_FALSE(startResult.get());
        EXPECT_EQ(shown.wait_for(kProcessWait), std::future_status::ready);
    }

    void stopStream() {
        std::promise<void> stopped;
        stream->stopCapture([&](std::optional<CaldrovexError>) { stopped.set_value(); });
        ASSERT_EQ(stopped.get_future().wait_for(kProcessWait), std::future_status::ready);
    }

    static InputMessage text(const std::string& utf8) {
        InputMessage message;
        message.event = "text";
        message.text = utf8;
        return message;
    }

    std::shared_ptr<platform::MutterDesktop> desktop;
    std::unique_ptr<platform::MutterCaptureService> service;
    CaptureDisplay display;
    std::shared_ptr<CaptureStream> stream;
};

// The adapters without the host: the input controller on the emitter that uses the stream's
// session.
TEST_F(GnomeAdapters, ScrollingAndKeysHeldWhenTheSessionEnds) {
    ASSERT_NO_FATAL_FAILURE(startStream());
    auto clock = platform::SystemClock::shared();
    auto emitter = std::make_shared<platform::MutterInputEmitter>(desktop);
    InputController controller(emitter->callbacks(), clock, emitter->mainDisplayID());
    controller.displayID = display.id;
    EXPECT_EQ(controller.displayID, emitter->mainDisplayID());

    // The pointer comes over the window first, as a device's would before it scrolls.
    size_t from = window.lines();
    InputMessage move;
    move.event = "move";
    move.x = 0.5;
    move.y = 0.5;
    controller.handle(move);
    ASSERT_TRUE(window.nextPrefix("motion ", from)) << window.transcript();
    InputMessage scroll;
    scroll.event = "scroll";
    scroll.x = 0;
    scroll.y = 100;  // up
    controller.handle(scroll);
    auto axis = window.nextPrefix("axis vertical ", from);
    ASSERT_TRUE(axis) << window.transcript();
    EXPECT_LT(std::stod(axis->substr(14)), 0) << "positive amounts scroll up";

    InputMessage key;
    key.event = "key";
    key.keyCode = 0x0E;  // e
    key.keyDown = true;
    controller.handle(key);
    ASSERT_TRUE(window.next("key e pressed", from)) << window.transcript();
    // The stream ends with the key still held: the session lets go of it first.
    ASSERT_NO_FATAL_FAILURE(stopStream());
    EXPECT_TRUE(window.next("key e released", from)) << window.transcript();
    EXPECT_FALSE(emitter->permission()) << "no session to inject into once the stream ended";
}

// An application that does not paste (a terminal) leaves a paste waiting for a read that
// does not come. The wait holds only the emitter's own queue: the caller is back at once,
// while the text is still on offer; the text after the paste still comes after it, and the
// user's clipboard gets its text back.
TEST_F(GnomeAdapters, APasteNobodyReadsLeavesTheCallerFree) {
    size_t from = window.lines();
    ASSERT_TRUE(window.write("copy the user's own"));
    ASSERT_TRUE(window.next("copied", from)) << window.transcript();
    ASSERT_TRUE(window.write("stop pasting"));
    ASSERT_TRUE(window.next("pasting off", from)) << window.transcript();
    ASSERT_NO_FATAL_FAILURE(startStream());
    auto emitter = std::make_shared<platform::MutterInputEmitter>(desktop);
    InputController controller(emitter->callbacks(), platform::SystemClock::shared(),
                               emitter->mainDisplayID());
    controller.displayID = display.id;

    from = window.lines();
    controller.handle(text("é"));
    controller.handle(text("b"));
    ASSERT_TRUE(window.next("key Control_L released", from)) << window.transcript();
    // Had the caller waited for the paste to end, the clipboard would hold the user's text again.
    ASSERT_TRUE(window.write("read"));
    ASSERT_TRUE(window.next("clipboard é", from)) << window.transcript();
    ASSERT_TRUE(window.next("text b", from)) << window.transcript();
    EXPECT_LT(*window.indexOf("clipboard é", from), *window.indexOf("text b", from))
        << window.transcript();

    from = window.lines();
    ASSERT_TRUE(window.write("read"));
    EXPECT_TRUE(window.next("clipboard the user's own", from)) << window.transcript();
    ASSERT_NO_FATAL_FAILURE(stopStream());
}

}  // namespace
}  // namespace caldrovex::test
