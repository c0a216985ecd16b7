#pragma once

#include "host/PermissionProbe.h"

namespace caldrovex::test {

// Permission answers the test sets.
class FakePermissionProbe final : public PermissionProbe {
public:
    bool screenRecording() override { return screen; }
    bool accessibility() override { return injection; }

    bool screen = true;
    bool injection = true;
};

}  // namespace caldrovex::test
