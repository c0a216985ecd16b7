#pragma once

#include "adapters/qt/QtPrivacyCurtain.h"

namespace caldrovex {

// What the Qt curtain needs from X11: the check that the display carries it (Composite,
// RENDER, DAMAGE, XFIXES, XInput2, SHAPE) and a keeper of its windows on top.
platform::QtPrivacyCurtain::Platform x11CurtainPlatform();

}  // namespace caldrovex
