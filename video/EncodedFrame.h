#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace caldrovex {

// One encoded H.264 access unit as the pipeline sends it to the device.
struct EncodedFrame {
    // The stream's sequence and picture parameter sets: raw NAL units, without start code or
    // length prefix.
    struct ParameterSets {
        std::vector<uint8_t> sps;
        std::vector<uint8_t> pps;

        bool operator==(const ParameterSets&) const = default;
    };

    // The access unit's NAL units, each preceded by its length as a 4-byte big-endian
    // number. On key frames the SPS and PPS are not in here but in `parameterSets`.
    std::vector<uint8_t> data;
    // An IDR picture: decoding can start here given the parameter sets.
    bool keyframe = false;
    // Present only on key frames.
    std::optional<ParameterSets> parameterSets;
};

}  // namespace caldrovex
