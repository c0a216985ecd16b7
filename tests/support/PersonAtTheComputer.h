#pragma once

#include <memory>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::test {

// Someone at the computer, under Xvfb where every event comes through an XTEST device: a
// master device pair of its own (an XInput2 hierarchy change), through whose XTEST devices
// this connection's XTest requests go, unlike the host's injections, which go through the
// first master pair's. The pair is removed with the object.
class PersonAtTheComputer {
public:
    // Opens $DISPLAY; throws std::runtime_error without one or when the pair cannot be added.
    PersonAtTheComputer();
    ~PersonAtTheComputer();

    PersonAtTheComputer(const PersonAtTheComputer&) = delete;
    PersonAtTheComputer& operator=(const PersonAtTheComputer&) = delete;

    // Presses and releases the "a" key.
    void pressKey();
    void movePointer(int x, int y);

private:
    platform::DisplayHandle display_;
    int pointer_ = 0;
};

}  // namespace caldrovex::test
