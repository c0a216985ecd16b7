#include <gtest/gtest.h>

#include "platform/InterfaceList.h"

using caldrovex::platform::InterfaceAddress;
using Family = InterfaceAddress::Family;

TEST(InterfaceList, ReportsTheLoopbackInterface) {
    // Every Linux machine has lo with 127.0.0.1, flagged up and loopback.
    bool sawLoopback = false;
    for (const auto& entry : caldrovex::platform::listInterfaceAddresses()) {
        if (entry.family == Family::ipv4 && entry.address == "127.0.0.1") {
            EXPECT_TRUE(entry.loopback);
            EXPECT_TRUE(entry.up);
            sawLoopback = true;
        }
    }
    EXPECT_TRUE(sawLoopback);
}
