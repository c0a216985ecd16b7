#pragma once

#include <filesystem>
#include <memory>

#include "latency_bench/PaintCanvas.h"
#include "support/ChildProcess.h"

namespace caldrovex::bench {

// Draws on the Wayland compositor of $WAYLAND_DISPLAY through a fullscreen window of
// `binaries`' caldrovex-wayland-window, which commits each change as one new buffer and
// reports when the compositor had it (a round trip after the commit: the Wayland counterpart
// of XSync). A Wayland client can neither move the pointer nor read the screen.
class WaylandCanvas final : public PaintCanvas {
public:
    // Throws std::runtime_error when the window does not show.
    WaylandCanvas(const std::filesystem::path& binaries, const std::filesystem::path& errorLog);

    int width() const override { return width_; }
    int height() const override { return height_; }
    Stamps draw(const std::vector<FilledRect>& rects) override;
    bool placePointer(int, int) override { return false; }
    std::array<uint8_t, 3> colourAt(int x, int y) override;

private:
    std::unique_ptr<test::ChildProcess> window_;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace caldrovex::bench
