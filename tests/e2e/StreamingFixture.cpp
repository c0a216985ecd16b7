#include "e2e/StreamingFixture.h"

#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace caldrovex::test {

using nlohmann::json;

namespace {

bool isFrame(const std::string& line) {
    return line.find("\"event\":\"frame\"") != std::string::npos;
}

}  // namespace

void StreamingFixture::SetUp() {
    display = platform::openDisplay();
    ASSERT_NE(display, nullptr) << "the wrapper's Xvfb is not reachable";
}

void StreamingFixture::TearDown() {
    viewer.reset();
    host.reset();
    display.reset();
}

void StreamingFixture::startStreaming(const std::vector<std::string>& hostArguments,
                                      const std::map<std::string, std::string>& hostEnvironment) {
    auto arguments = hostArguments;
    arguments.push_back("--pair");
    host = std::make_unique<HostProcess>(scratch, address, arguments, hostEnvironment);
    auto linkLine = host->next("link: ", 0);
    ASSERT_TRUE(linkLine) << host->process.transcript();
    const std::string link = linkLine->substr(6);
    auto paired = runDevice(scratch, {"pair", link});
    ASSERT_EQ(paired.status, 0) << paired.transcript();
    viewer = std::make_unique<ChildProcess>(
        binary("caldrovex-device"),
        std::vector<std::string>{"--state", scratch.stateFile().string(), "--timeout", "45",
                                 "stream", "--log-frames", "--probe", "0.1,0.1"},
        scratch.environment());
    ASSERT_TRUE(waitForMessage("streaming", 0))
        << viewer->transcript() << host->process.transcript();
}

std::optional<json> StreamingFixture::waitForMessage(const std::string& type, size_t from,
                                                     size_t* index) {
    auto line = viewer->waitForLine(
        [&](const std::string& text) {
            return text.find("\"type\":\"" + type + "\"") != std::string::npos;
        },
        from, kProcessWait);
    if (!line) return std::nullopt;
    if (index) {
        const auto& out = viewer->output();
        *index = static_cast<size_t>(
            std::find(out.begin() + static_cast<long>(from), out.end(), *line) - out.begin());
    }
    return json::parse(*line);
}

void StreamingFixture::roundTrip() {
    const size_t from = viewer->output().size();
    ASSERT_TRUE(viewer->writeLine("ping"));
    ASSERT_TRUE(waitForMessage("pong", from)) << viewer->transcript();
}

void StreamingFixture::fillScreen(unsigned long pixel) {
    GC gc = XCreateGC(display.get(), DefaultRootWindow(display.get()), 0, nullptr);
    XSetForeground(display.get(), gc, pixel);
    XSetSubwindowMode(display.get(), gc, IncludeInferiors);
    XFillRectangle(display.get(), DefaultRootWindow(display.get()), gc, 0, 0, kScreenWidth,
                   kScreenHeight);
    XFreeGC(display.get(), gc);
    XSync(display.get(), False);
}

bool StreamingFixture::waitForColour(std::array<int, 3> rgb, size_t from) {
    auto line = viewer->waitForLine(
        [&](const std::string& text) {
            if (!isFrame(text)) return false;
            const auto probe = json::parse(text)["probe"];
            for (int c = 0; c < 3; ++c)
                if (std::abs(probe[c].get<int>() - rgb[c]) > 16) return false;
            return true;
        },
        from, kProcessWait);
    return line.has_value();
}

std::vector<std::array<int, 3>> StreamingFixture::probes() const {
    std::vector<std::array<int, 3>> colours;
    for (const auto& line : viewer->output()) {
        if (!isFrame(line)) continue;
        const auto probe = json::parse(line)["probe"];
        colours.push_back({probe[0].get<int>(), probe[1].get<int>(), probe[2].get<int>()});
    }
    return colours;
}

std::pair<int, int> StreamingFixture::pointer() {
    Window root = 0;
    Window child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned int mask = 0;
    XQueryPointer(display.get(), DefaultRootWindow(display.get()), &root, &child, &x, &y, &windowX,
                  &windowY, &mask);
    return {x, y};
}

std::pair<int, int> StreamingFixture::pointerNear(int x, int y) {
    XSelectInput(display.get(), DefaultRootWindow(display.get()), PointerMotionMask);
    const auto deadline = std::chrono::steady_clock::now() + kProcessWait;
    auto at = pointer();
    while (std::abs(at.first - x) > 2 || std::abs(at.second - y) > 2) {
        if (std::chrono::steady_clock::now() > deadline) break;
        XEvent event;
        // Motion comes as an event; a query after each (or after a quiet while) reads it.
        if (XPending(display.get()) > 0)
            XNextEvent(display.get(), &event);
        else
            waitForX(100);
        at = pointer();
    }
    XSelectInput(display.get(), DefaultRootWindow(display.get()), NoEventMask);
    return at;
}

void StreamingFixture::waitForX(int milliseconds) {
    pollfd descriptor{ConnectionNumber(display.get()), POLLIN, 0};
    poll(&descriptor, 1, milliseconds);
}

}  // namespace caldrovex::test
