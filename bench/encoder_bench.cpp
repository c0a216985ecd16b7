// Time the H.264 encoder takes per frame, on the moving test pattern at the host's default
// target (6 Mbit/s, 30 fps). Usage: encoder_bench [frames]
//
// Two figures per size: latency (one frame submitted, wait for its output, repeat: what
// the pipeline sees when credit allows one frame at a time) and throughput (all frames
// queued at once).
//
// Then the first frames of a fresh 1920×1080 session (a key frame of a busy picture, then two
// small changes), each waited for: opened by the first frame, as before the pipeline got the
// encoder ready at stream start; prepared just before the first frame; and prepared 100 ms
// before it (the time the start takes to reach the device and the first change to come).

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "EncodeWaiter.h"
#include "protocol/StreamSettings.h"
#include "video/H264Encoder.h"

extern "C" {
#include <libavutil/frame.h>
}

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

// Milliseconds each of the first three frames of a fresh session took, median of `trials`.
void firstFrames(int trials, std::optional<std::chrono::milliseconds> preparedAhead) {
    constexpr int kWidth = 1920;
    constexpr int kHeight = 1080;
    std::vector<VideoFrame> pictures;
    for (int i = 0; i < 3; ++i) {
        pictures.push_back(VideoFrame::allocate(kWidth, kHeight));
        pictures.back().fillTestPattern(0);
        // The later frames change a small square, as a first change after the start would.
        if (i > 0) {
            AVFrame* f = pictures.back().avFrame();
            for (int row = 500; row < 756; ++row) {
                std::fill_n(f->data[0] + row * f->linesize[0] + 800, 256, 40 * i);
            }
        }
    }
    std::vector<std::vector<double>> times(3);
    for (int trial = 0; trial < trials; ++trial) {
        H264Encoder encoder;
        encoder.setFps(60);
        encoder.setBitrate(StreamSettings::kDefaultBitrate);
        Waiter waiter;
        if (preparedAhead) {
            encoder.prepare(kWidth, kHeight, false);
            std::this_thread::sleep_for(*preparedAhead);
        }
        for (int i = 0; i < 3; ++i) {
            auto start = std::chrono::steady_clock::now();
            encoder.encode(pictures[i], MediaTime::make(i, 60), waiter.completion());
            waiter.waitFor(i + 1);
            times[i].push_back(millisecondsSince(start));
        }
    }
    std::printf("%-34s", !preparedAhead                ? "opened by the first frame"
                         : preparedAhead->count() == 0 ? "prepared right before"
                                                       : "prepared 100 ms before");
    for (auto& frame : times) {
        std::sort(frame.begin(), frame.end());
        std::printf("  %7.2f", frame[frame.size() / 2]);
    }
    std::printf("\n");
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
    std::printf("\nfirst frames of a fresh 1920x1080 session, ms each (median of 9)\n");
    std::printf("%-34s  %7s  %7s  %7s\n", "", "key", "second", "third");
    firstFrames(9, std::nullopt);
    firstFrames(9, std::chrono::milliseconds(0));
    firstFrames(9, std::chrono::milliseconds(100));
    return 0;
}
