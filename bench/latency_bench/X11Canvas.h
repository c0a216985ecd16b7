#pragma once

#include <string>

#include "adapters/x11/X11Handles.h"
#include "latency_bench/PaintCanvas.h"

struct _XGC;

namespace caldrovex::bench {

// Draws on an X screen, on its own connection: on the root window, or, `inWindow`, in a window
// of its own covering the screen (as a desktop drawn by a file manager): a capture that
// composes the picture from the windows, leaving the privacy curtain out, sees only what
// windows hold.
class X11Canvas final : public PaintCanvas {
public:
    // Throws std::runtime_error when the display cannot be opened.
    X11Canvas(const std::string& displayName, bool inWindow);
    ~X11Canvas() override;
    X11Canvas(const X11Canvas&) = delete;
    X11Canvas& operator=(const X11Canvas&) = delete;

    int width() const override { return width_; }
    int height() const override { return height_; }
    Stamps draw(const std::vector<FilledRect>& rects) override;
    bool placePointer(int x, int y) override;
    std::array<uint8_t, 3> colourAt(int x, int y) override;

private:
    platform::DisplayHandle display_;
    bool ownWindow_ = false;
    unsigned long target_ = 0;
    _XGC* gc_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace caldrovex::bench
