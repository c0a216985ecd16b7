#include "video/H264Bitstream.h"

namespace caldrovex {

namespace {

// Position of the next 00 00 01 at or after `from`, or `size` when there is none.
size_t findStartCode(std::span<const uint8_t> stream, size_t from) {
    for (size_t i = from; i + 2 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            return i;
        }
    }
    return stream.size();
}

}  // namespace

std::vector<std::span<const uint8_t>> H264Bitstream::splitAnnexB(std::span<const uint8_t> stream) {
    std::vector<std::span<const uint8_t>> units;
    size_t start = findStartCode(stream, 0);
    while (start < stream.size()) {
        size_t begin = start + 3;
        size_t next = findStartCode(stream, begin);
        size_t end = next;
        // A zero before the next start code is its leading zero (4-byte form) or trailing
        // padding; a NAL unit never ends in a zero byte.
        while (end > begin && stream[end - 1] == 0) {
            --end;
        }
        if (end > begin) {
            units.push_back(stream.subspan(begin, end - begin));
        }
        start = next;
    }
    return units;
}

std::vector<std::span<const uint8_t>> H264Bitstream::splitLengthPrefixed(
    std::span<const uint8_t> unit) {
    std::vector<std::span<const uint8_t>> units;
    size_t at = 0;
    while (unit.size() - at >= 4) {
        size_t length = (size_t{unit[at]} << 24) | (size_t{unit[at + 1]} << 16) |
                        (size_t{unit[at + 2]} << 8) | size_t{unit[at + 3]};
        at += 4;
        if (length > unit.size() - at) {
            break;
        }
        units.push_back(unit.subspan(at, length));
        at += length;
    }
    return units;
}

void H264Bitstream::appendLengthPrefixed(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
    auto length = static_cast<uint32_t>(nal.size());
    out.push_back(static_cast<uint8_t>(length >> 24));
    out.push_back(static_cast<uint8_t>(length >> 16));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
    out.insert(out.end(), nal.begin(), nal.end());
}

void H264Bitstream::appendAnnexB(std::vector<uint8_t>& out, std::span<const uint8_t> nal) {
    static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), nal.begin(), nal.end());
}

std::vector<uint8_t> H264Bitstream::toAnnexB(const EncodedFrame& frame) {
    std::vector<uint8_t> stream;
    stream.reserve(frame.data.size() + 64);
    if (frame.parameterSets) {
        appendAnnexB(stream, frame.parameterSets->sps);
        appendAnnexB(stream, frame.parameterSets->pps);
    }
    for (std::span<const uint8_t> unit : splitLengthPrefixed(frame.data)) {
        appendAnnexB(stream, unit);
    }
    return stream;
}

}  // namespace caldrovex
