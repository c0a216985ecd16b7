// The main function of every test program.

#include <gtest/gtest.h>

#include "platform/SerialQueue.h"

namespace {

// Stops the shared worker pool once every test ran, before static objects are destroyed: a
// pool thread still closing a socket must not describe its error with a category that exit
// already tore down.
class StopPoolAtExit : public ::testing::Environment {
public:
    void TearDown() override { caldrovex::platform::SerialQueue::shutdown(); }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new StopPoolAtExit);
    return RUN_ALL_TESTS();
}
