#pragma once

#include <string>

namespace caldrovex {

// The encoders' own settings that trade speed against size and sharpness, in one place. The
// host uses the defaults; benchmarks open sessions with others to compare them.
struct EncoderTuning {
    // libx264 speed preset, the parameters changed on top of it ("name=value:..."), and those
    // added when the pictures are scaled down from the screen. Measured with
    // bench/capture_bench (1920×1080 screen, two shared cores, the same rate control for all)
    // against "superfast", the earlier choice:
    // - "ultrafast" encodes a typed character in 3.1 ms instead of 7.4 ms;
    // - CABAC takes about a third fewer bits for the same picture at no measurable cost;
    // - 4×4 intra blocks keep the edges of text sharp where 16×16 ones smear them;
    // - adaptive quantisation, on in "superfast", stays off: it moves bits away from flat
    //   areas with sharp edges, which is what text is (typed text 68.5 dB PSNR with it, 80.2 dB
    //   without, at the same size);
    // - at the screen's own size, windows move and scroll by whole pixels, which whole-pixel
    //   motion search predicts exactly, and the deblocking filter stays off: it would blur the
    //   reference pictures that those exact predictions copy from (a scrolling screen at a
    //   1.5 Mbit/s cap: 31.4 dB without it, 22.6 dB with "superfast");
    // - scaled down, a shift falls between pixels: sub-pixel refinement and the deblocking
    //   filter are needed there (a scaled scroll at the 6 Mbit/s cap: 33.5 dB without them,
    //   38.9 dB with them, 38.4 dB with "superfast") and cost about a millisecond a picture.
    std::string preset = "ultrafast";
    std::string params = "cabac=1:partitions=i4x4";
    std::string scaledParams = "deblock=1:subme=1";
    // Threads of libx264 (sliced: one slice of each picture per thread, so a picture takes the
    // time of its slowest slice, not of all); 0 lets libx264 choose (1.5 per core).
    int threads = 0;
    // The VAAPI render node tried for a hardware encoder; empty: the first /dev/dri/renderD*.
    std::string renderNode;
};

}  // namespace caldrovex
