// Time the H.264 encoder takes per frame, on the moving test pattern at the host's default
// target (6 Mbit/s, 30 fps). Usage: encoder_bench [frames]
//
// Two figures per size: latency (one frame submitted, wait for its output, repeat: what
// the pipeline sees when credit allows one frame at a time) and throughput (all frames
// queued at once).

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "EncodeWaiter.h"
#include "protocol/StreamSettings.h"
#include "video/H264Encoder.h"

using namespace caldrovex;

namespace {

using Waiter = bench::EncodeWaiter;

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void run(int width, int height, int frames) {
    // Pictures are made up front so that only encoding is timed.
    constexpr int kDistinct = 60;
    std::vector<VideoFrame> pictures;
    for (int i = 0; i < kDistinct; ++i) {
        pictures.push_back(VideoFrame::allocate(width, height));
        pictures.back().fillTestPattern(i);
    }
    H264Encoder encoder;
    encoder.setFps(30);
    encoder.setBitrate(StreamSettings::kDefaultBitrate);
    Waiter waiter;
    int64_t index = 0;
    auto submit = [&] {
        encoder.encode(pictures[index % kDistinct], MediaTime::make(index, 30),
                       waiter.completion());
        ++index;
    };

    // Warm up: opens the session and lets rate control settle.
    for (int i = 0; i < 30; ++i) {
        submit();
    }
    waiter.waitFor(static_cast<int>(index));

    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        submit();
        waiter.waitFor(static_cast<int>(index));
    }
    double latency = millisecondsSince(start) / frames;

    int64_t bytesBefore = waiter.bytes;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        submit();
    }
    waiter.waitFor(static_cast<int>(index));
    double throughput = millisecondsSince(start) / frames;
    double kbps = static_cast<double>(waiter.bytes - bytesBefore) * 8 * 30 / frames / 1000;

    std::printf(
        "%4dx%-4d  latency %6.2f ms/frame  throughput %6.2f ms/frame  output %7.0f kbit/s  (%s)\n",
        width, height, latency, throughput, kbps, encoder.lowLatency() ? "hardware" : "libx264");
}

}  // namespace

int main(int argc, char** argv) {
    int frames = argc > 1 ? std::atoi(argv[1]) : 150;
    if (frames <= 0) {
        std::fprintf(stderr, "usage: encoder_bench [frames]\n");
        return 2;
    }
    run(1920, 1080, frames);
    run(1280, 720, frames);
    run(320, 240, frames);
    return 0;
}
