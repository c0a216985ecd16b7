// The privacy curtain end to end: the real host, with the curtain on, streams its Xvfb screen
// (with Composite) to the reference device. People at the computer see the dark curtain (a
// grab of the root window); every frame the device decodes shows the desktop, the test's own
// coloured window, also as it changes behind the curtain. A key pressed by a person at the
// computer (through a master device pair of its own) lifts the curtain and the device is told
// once; the input the host injects for the device never lifts it.

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <thread>

#include "e2e/StreamingFixture.h"
#include "host/CurtainControl.h"
#include "support/PersonAtTheComputer.h"
#include "support/TestWindows.h"

namespace caldrovex::test {
namespace {

constexpr unsigned long kRed = 0xff0000;
constexpr unsigned long kGreen = 0x00c000;
constexpr unsigned long kBlue = 0x0000ff;
// Inside the window, and where the device's probe looks (0.1, 0.1 of 1920×1080).
constexpr int kProbeX = 192;
constexpr int kProbeY = 108;

// The curtain is near-black: a channel of the desktop shows at most a few percent through,
// and the codec adds a little.
bool dark(std::array<int, 3> rgb) {
    return rgb[0] < 40 && rgb[1] < 40 && rgb[2] < 40;
}
bool dark(unsigned long pixel) {
    return dark({static_cast<int>(pixel >> 16 & 0xff), static_cast<int>(pixel >> 8 & 0xff),
                 static_cast<int>(pixel & 0xff)});
}

class CurtainEndToEnd : public StreamingFixture {
protected:
    void SetUp() override {
        StreamingFixture::SetUp();
        window = windows.open(100, 100, 200, 200, kRed);
    }

    // The host with the curtain on (and remote control, for the injected input), on Qt's X11
    // platform whatever the tests' default is; the device streams and sees the window.
    void startCurtained() {
        startStreaming({"--curtain", "--control"}, {{"QT_QPA_PLATFORM", "xcb"}});
        // The start-up report says "off" (or why it cannot work), then the switch says "on".
        auto curtain = host->process.waitForLine(
            [](const std::string& line) {
                const auto text = withoutTimestamp(line);
                return text == "curtain: on" || text.starts_with("curtain: unavailable");
            },
            0, kProcessWait);
        ASSERT_TRUE(curtain) << host->process.transcript();
        EXPECT_EQ(withoutTimestamp(*curtain), "curtain: on") << host->process.transcript();
        ASSERT_TRUE(waitForColour({255, 0, 0})) << viewer->transcript();
    }

    // What the person at the computer sees where the window is.
    unsigned long local() { return windows.screenPixel(kProbeX, kProbeY); }

    // Waits (reading the root window) until `holds` does; the host acts on its own time.
    bool localScreenBecomes(const std::function<bool(unsigned long)>& holds) {
        const auto deadline = std::chrono::steady_clock::now() + kProcessWait;
        while (!holds(local())) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    void paint(unsigned long rgb) {
        XSetWindowBackground(windows.display(), window, rgb);
        XClearWindow(windows.display(), window);
        windows.sync();
    }

    size_t notices() const {
        size_t count = 0;
        for (const auto& line : viewer->output()) {
            if (line.find("\"type\":\"notice\"") != std::string::npos &&
                line.find(CurtainControl::kLiftedLocally) != std::string::npos)
                ++count;
        }
        return count;
    }

    TestWindows windows;
    Window window = 0;
};

TEST_F(CurtainEndToEnd, TheLocalScreenIsDimmedWhileTheDeviceSeesTheDesktop) {
    startCurtained();
    ASSERT_TRUE(localScreenBecomes([](unsigned long pixel) { return dark(pixel); }))
        << std::hex << local() << "\n"
        << host->process.transcript();

    // Behind the curtain the window changes; the device sees each change, the person does not.
    for (auto [colour, rgb] :
         {std::pair{kGreen, std::array{0, 192, 0}}, std::pair{kBlue, std::array{0, 0, 255}}}) {
        const size_t from = viewer->output().size();
        paint(colour);
        EXPECT_TRUE(waitForColour(rgb, from)) << viewer->transcript();
        EXPECT_TRUE(dark(local())) << std::hex << local();
    }
    for (const auto& probe : probes())
        EXPECT_FALSE(dark(probe)) << "a decoded frame showed the curtain";
}

TEST_F(CurtainEndToEnd, APersonAtTheComputerLiftsItOnceAndTheDevicesInputNever) {
    startCurtained();
    ASSERT_TRUE(localScreenBecomes([](unsigned long pixel) { return dark(pixel); }))
        << host->process.transcript();

    // The host injects the device's pointer and keys; the curtain stays.
    for (const char* input : {"move 0.5 0.5", "click 0.6 0.6", "key 0", "text hello"})
        ASSERT_TRUE(viewer->writeLine(input));
    roundTrip();
    // Long enough for the watcher to have read what the server made of that input: a change
    // drawn afterwards has gone through capture, encoder and network to the device.
    const size_t from = viewer->output().size();
    paint(kGreen);
    ASSERT_TRUE(waitForColour({0, 192, 0}, from)) << viewer->transcript();
    roundTrip();
    EXPECT_EQ(notices(), 0u) << viewer->transcript();
    EXPECT_TRUE(dark(local())) << std::hex << local();

    PersonAtTheComputer person;
    person.pressKey();
    ASSERT_TRUE(waitForMessage("notice", from)) << viewer->transcript();
    EXPECT_EQ(notices(), 1u) << viewer->transcript();
    EXPECT_TRUE(localScreenBecomes([](unsigned long pixel) { return pixel == kGreen; }))
        << std::hex << local();

    // It stays lifted, and the device is told only once.
    person.pressKey();
    person.movePointer(700, 500);
    roundTrip();
    EXPECT_EQ(notices(), 1u) << viewer->transcript();
    EXPECT_EQ(local(), kGreen);
    for (const auto& probe : probes())
        EXPECT_FALSE(dark(probe)) << "a decoded frame showed the curtain";
}

}  // namespace
}  // namespace caldrovex::test
