#pragma once

#include <string>

namespace caldrovex {

// The encoders' own settings that trade speed against size and sharpness, in one place. The
// host uses the defaults; benchmarks open sessions with others to compare them.
struct EncoderTuning {
    // libx264 speed preset and the parameters changed on top of it ("name=value:..."). Measured
    // with bench/capture_bench at 1920×1080 on two shared cores, against "superfast" (the
    // earlier choice) under the same rate control:
    // - "ultrafast" alone encodes a typed character in 2.9 ms instead of 5.7, but its full-pel
    //   motion search cannot follow a scroll of a scaled picture, where a shift falls between
    //   pixels: at 1280×720 and a 6 Mbit/s cap, 33.5 dB PSNR instead of 38.6;
    // - sub-pel refinement (subme=1) brings that back (39.0 dB) for 1.3 ms of a small change;
    // - CABAC takes about a third fewer bits for the same picture at no measurable cost;
    // - 4×4 intra blocks keep the edges of text sharp where 16×16 ones smear them;
    // - the deblocking filter costs little and helps when the cap binds;
    // - adaptive quantisation, which "superfast" turns on, stays off: it moves bits away from
    //   flat areas with sharp edges, which is what text is (typed text 69 dB with it, 81 dB
    //   without, at the same size).
    // Together: a typed character in 4.2 ms, quality at least that of "superfast" everywhere.
    std::string preset = "ultrafast";
    std::string params = "cabac=1:partitions=i4x4:deblock=1:subme=1";
    // Threads of libx264 (sliced: one slice of each picture per thread, so a picture takes the
    // time of its slowest slice, not of all); 0 lets libx264 choose (1.5 per core).
    int threads = 0;
    // The VAAPI render node tried for a hardware encoder; empty: the first /dev/dri/renderD*.
    std::string renderNode;
};

}  // namespace caldrovex
