// Linked into every test program (not into test_support, whose unreferenced objects the linker
// would leave out). Once every test has run, it stops the serial queues' worker pool, as the
// host's main does before returning: a pool thread still finishing a connection's work (say,
// describing its socket error) while the program's static objects are destroyed would fail
// the run under the sanitizers.

#include <gtest/gtest.h>

#include "platform/SerialQueue.h"

namespace {

class StopWorkers : public ::testing::Environment {
public:
    void TearDown() override { caldrovex::platform::SerialQueue::shutdown(); }
};

const auto* const kStopWorkers = ::testing::AddGlobalTestEnvironment(new StopWorkers);

}  // namespace
