#pragma once

#include <string>

namespace caldrovex {

// The encoders' own settings that trade speed against size and sharpness, in one place. The
// host uses the defaults; benchmarks open sessions with others to compare them.
struct EncoderTuning {
    // libx264 speed preset. On this project's reference machine (two shared cores) at
    // 1920×1080: "ultrafast" encodes a small change in 2.7 ms of a core against 5.3 ms for
    // "superfast" (the earlier choice), and a scrolled busy screen in 4.7 against 7.1 ms.
    std::string preset = "ultrafast";
    // libx264 parameters on top of the preset ("name=value:name=value"). "ultrafast" gives up
    // two things that cost little time and matter on a screen: CABAC (about a third fewer bits
    // for the same picture, the same encode time) and 4×4 intra blocks, which keep the edges of
    // text sharp where 16×16 blocks smear them. The deblocking filter stays off: it softens
    // text and measurably lowers its fidelity.
    std::string params = "cabac=1:partitions=i4x4";
    // Threads of libx264 (sliced: one slice of each picture per thread, so a picture takes the
    // time of its slowest slice, not of all); 0 lets libx264 choose (1.5 per core).
    int threads = 0;
    // The VAAPI render node tried for a hardware encoder; empty: the first /dev/dri/renderD*.
    std::string renderNode;
};

}  // namespace caldrovex
