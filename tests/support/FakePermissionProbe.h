#pragma once

#include <optional>
#include <string>

#include "host/PermissionProbe.h"

namespace caldrovex::test {

// Permission answers the test sets.
class FakePermissionProbe final : public PermissionProbe {
public:
    bool screenRecording() override { return screen; }
    bool accessibility() override { return injection; }
    std::optional<std::string> screenRecordingProblem() override { return problem; }

    bool screen = true;
    bool injection = true;
    std::optional<std::string> problem;
};

}  // namespace caldrovex::test
