#pragma once

#include <functional>

namespace caldrovex {

// Tells when the screens changed: one was added or removed, or one's size or place changed
// (the curtain must then be prepared again).
//
// Contract: `onScreensChanged` is set and called on the main queue; changes that come in a
// row make one call.
class ScreenChangeNotifier {
public:
    virtual ~ScreenChangeNotifier() = default;

    std::function<void()> onScreensChanged;
};

}  // namespace caldrovex
