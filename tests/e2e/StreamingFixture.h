#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "adapters/x11/X11Handles.h"
#include "e2e/HostHarness.h"

namespace caldrovex::test {

// The size of the wrapper's Xvfb screen.
constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;

// The real host and the reference device streaming its screen: the device logs every decoded
// frame with the colour at its probe point (0.1, 0.1 of the picture, so pixel (192, 108)) and
// takes commands on its input.
class StreamingFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A host (with `hostArguments` and `hostEnvironment`), device A paired with it, and the
    // device streaming.
    void startStreaming(const std::vector<std::string>& hostArguments = {},
                        const std::map<std::string, std::string>& hostEnvironment = {});

    // The first line from `from` on that is a host message of `type`; its index in `index`.
    std::optional<nlohmann::json> waitForMessage(const std::string& type, size_t from,
                                                 size_t* index = nullptr);
    // Every message the device sent before has been handled by the host once its "pong" to a
    // "ping" sent now arrives: the host answers in order.
    void roundTrip();
    void fillScreen(unsigned long pixel);
    // Waits for a decoded frame from line `from` on whose probe shows `rgb` (within the
    // codec's error).
    bool waitForColour(std::array<int, 3> rgb, size_t from = 0);
    // The probe colours of the frames decoded so far, oldest first.
    std::vector<std::array<int, 3>> probes() const;
    std::pair<int, int> pointer();
    // The pointer once it has come within 2 pixels of (x, y), or where it is after waiting in
    // vain: the host's injected motion reaches the server on the host's own connection, so it
    // may be processed after the host has answered the device.
    std::pair<int, int> pointerNear(int x, int y);
    // Waits until the X connection has something to read, or `milliseconds` pass.
    void waitForX(int milliseconds);

    UserScratch scratch;
    const std::string address = freshLoopbackAddress();
    std::unique_ptr<HostProcess> host;
    std::unique_ptr<ChildProcess> viewer;
    platform::DisplayHandle display;
};

}  // namespace caldrovex::test
