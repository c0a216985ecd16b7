#include "latency_bench/WaylandCanvas.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace caldrovex::bench {

namespace {

constexpr std::chrono::milliseconds kWait{30'000};

std::string hex(std::array<uint8_t, 3> colour) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x%02x", colour[0], colour[1], colour[2]);
    return text;
}

}  // namespace

WaylandCanvas::WaylandCanvas(const std::filesystem::path& binaries,
                             const std::filesystem::path& errorLog) {
    test::ChildProcess::Options window;
    window.argv = {(binaries / "caldrovex-wayland-window").string(), "808080"};
    window.errorLog = errorLog.string();
    window_ = std::make_unique<test::ChildProcess>(std::move(window));
    const auto ready = window_->waitForPrefix("ready ", 0, kWait);
    if (!ready) throw std::runtime_error("the Wayland window did not show (see its log)");
    std::istringstream(ready->substr(6)) >> width_ >> height_;
    if (width_ <= 0 || height_ <= 0) throw std::runtime_error("the Wayland window has no size");
}

PaintCanvas::Stamps WaylandCanvas::draw(const std::vector<FilledRect>& rects) {
    std::string command = "fill";
    for (const FilledRect& rect : rects) {
        command += " " + hex(rect.colour) + " " + std::to_string(rect.x) + " " +
                   std::to_string(rect.y) + " " + std::to_string(rect.width) + " " +
                   std::to_string(rect.height);
    }
    const size_t from = window_->lineCount();
    if (!window_->writeLine(command)) throw std::runtime_error("the Wayland window has gone");
    const auto filled = window_->waitForPrefix("filled ", from, kWait);
    if (!filled) throw std::runtime_error("the Wayland window did not draw a change");
    Stamps stamps;
    std::istringstream(filled->substr(7)) >> stamps.sentAt >> stamps.drawnAt;
    return stamps;
}

std::array<uint8_t, 3> WaylandCanvas::colourAt(int, int) {
    throw std::runtime_error("a Wayland client cannot read the screen");
}

}  // namespace caldrovex::bench
