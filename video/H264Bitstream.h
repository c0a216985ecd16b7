#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "video/EncodedFrame.h"

namespace caldrovex {

// Conversions between the two ways of delimiting H.264 NAL units: Annex B byte streams
// (each unit after a 00 00 01 or 00 00 00 01 start code), which libavcodec's encoders emit
// and its decoder reads, and the 4-byte big-endian length prefixes the device expects.
// Pure functions on byte spans; the spans returned by `splitAnnexB` and `splitLengthPrefixed`
// point into the input.
class H264Bitstream {
public:
    // NAL unit types the host cares about (ITU-T H.264 table 7-1).
    static constexpr uint8_t kIdrSlice = 5;
    static constexpr uint8_t kSequenceParameterSet = 7;
    static constexpr uint8_t kPictureParameterSet = 8;

    // The NAL units of an Annex B stream, start codes removed. Trailing zero bytes before a
    // start code belong to the start code, not to the unit; empty units are skipped.
    static std::vector<std::span<const uint8_t>> splitAnnexB(std::span<const uint8_t> stream);

    // The NAL units of a length-prefixed access unit; stops at the first prefix that runs
    // past the end (a truncated unit is left out).
    static std::vector<std::span<const uint8_t>> splitLengthPrefixed(std::span<const uint8_t> unit);

    // Appends `nal` to `out` with its 4-byte big-endian length in front.
    static void appendLengthPrefixed(std::vector<uint8_t>& out, std::span<const uint8_t> nal);

    // Appends `nal` to `out` after a 4-byte start code.
    static void appendAnnexB(std::vector<uint8_t>& out, std::span<const uint8_t> nal);

    // The Annex B stream a decoder takes for `frame`: its parameter sets (when present), then
    // its NAL units, each after a start code.
    static std::vector<uint8_t> toAnnexB(const EncodedFrame& frame);

    // The unit's type: the low five bits of its first byte; 0 for an empty unit.
    static uint8_t type(std::span<const uint8_t> nal) {
        return nal.empty() ? 0 : static_cast<uint8_t>(nal[0] & 0x1f);
    }
};

}  // namespace caldrovex
