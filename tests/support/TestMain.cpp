// The main of every test program: GoogleTest's, and then, as every program of ours does before
// it returns, the shared serial-queue pool is stopped. Otherwise a pool thread may still be
// tearing down a connection (freeing its TLS context) while OpenSSL's exit handler frees the
// library's locks.
#include <gtest/gtest.h>

#include "platform/SerialQueue.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    caldrovex::platform::SerialQueue::shutdown();
    return status;
}
