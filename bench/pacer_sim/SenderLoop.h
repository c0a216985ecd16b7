#pragma once

#include <cstdint>
#include <memory>
#include <random>

#include "platform/ManualQueue.h"
#include "protocol/PacketConnection.h"
#include "protocol/StreamSettings.h"

namespace caldrovex::bench {

// How the sender decides when a frame may go and how large it is.
enum class Regime {
    acknowledged,    // the pacer with the device's frame acknowledgements
    unacknowledged,  // the pacer without acknowledgements: one frame in flight at a time
    fixed,           // no credit at all: every captured frame is sent at a fixed bitrate
};

const char* regimeName(Regime regime);

// The sending half of a stream without pixels: a capture clock fills a single latest-wins
// slot at the frame rate, and a synthetic encoder turns the slot into a frame only when the
// pacer grants credit, sized as a real encoder would size it for the current target
// (target / fps, times a content factor; a key frame ten times larger every 20 s and when
// the first frame goes out). Each frame carries its sequence number and send time so the
// receiver can measure its one-way delay.
class SenderLoop : public std::enable_shared_from_this<SenderLoop> {
public:
    struct Config {
        Regime regime = Regime::acknowledged;
        int fps = 30;
        int64_t maxBitrate = StreamSettings::kDefaultBitrate;
        int64_t fixedBitrate = StreamSettings::kDefaultBitrate;
        double keyframeInterval = 20;
        double keyframeFactor = 10;
        double contentSpread = 0.2;  // each frame's size varies by up to ±20 %
        uint64_t seed = 1;
    };

    SenderLoop(std::shared_ptr<platform::ManualQueue> queue,
               std::shared_ptr<PacketConnection> connection, Config config);

    void start();
    int64_t target() const { return target_; }
    int64_t framesCaptured() const { return captured_; }
    int64_t framesSent() const { return sent_; }

private:
    void capture();
    void pump();
    bool mayGo();
    void sendOne();

    std::shared_ptr<platform::ManualQueue> queue_;
    std::shared_ptr<PacketConnection> connection_;
    Config config_;
    std::mt19937_64 random_;
    bool slotFull_ = false;
    int64_t target_ = 0;
    double lastKeyframe_ = -1e9;
    int64_t captured_ = 0;
    int64_t sent_ = 0;
};

}  // namespace caldrovex::bench
