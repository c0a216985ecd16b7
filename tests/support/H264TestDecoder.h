#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "video/EncodedFrame.h"

struct AVCodecContext;

namespace caldrovex::test {

// libavcodec's H.264 decoder, fed the way a device would: each EncodedFrame converted back to
// Annex B with its parameter sets in front. Low-delay, one thread: every picture comes out
// of the call that fed it.
class H264TestDecoder {
public:
    struct Picture {
        int width = 0;
        int height = 0;
        std::vector<uint8_t> luma;  // width × height, tightly packed
    };

    H264TestDecoder();
    ~H264TestDecoder();

    // The pictures decoded from `frame`; throws std::runtime_error when the decoder rejects it.
    std::vector<Picture> decode(const EncodedFrame& frame);

private:
    struct ContextDeleter {
        void operator()(AVCodecContext* context) const;
    };
    std::unique_ptr<AVCodecContext, ContextDeleter> context_;
};

}  // namespace caldrovex::test
