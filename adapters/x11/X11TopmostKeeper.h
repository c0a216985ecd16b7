#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "input/TopmostKeeper.h"

namespace caldrovex::platform {

// Keeps chosen top-level windows above all others on an X display. Override-redirect windows
// have no stacking layer: any window mapped or raised later would lie above them. So the
// keeper watches the root's children (SubstructureNotify) on a connection of its own and,
// whenever another window is mapped, restacked or circulated and one of the kept windows is
// no longer above all others, raises the kept windows again, in their order.
//
// Contract: as TopmostKeeper.
class X11TopmostKeeper final : public TopmostKeeper {
public:
    // Null when the display cannot be opened. `displayName`: nullopt means $DISPLAY.
    static std::unique_ptr<X11TopmostKeeper> open(const std::optional<std::string>& displayName);
    ~X11TopmostKeeper() override;

    X11TopmostKeeper(const X11TopmostKeeper&) = delete;
    X11TopmostKeeper& operator=(const X11TopmostKeeper&) = delete;

    // The connection's descriptor.
    int descriptor() const override;
    void keep(std::vector<uint32_t> windowIDs) override;
    void handlePending() override;

private:
    explicit X11TopmostKeeper(Display* display);
    bool othersAbove();
    void raise();

    Display* display_;
    std::vector<Window> kept_;
};

}  // namespace caldrovex::platform
