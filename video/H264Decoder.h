#pragma once

#include <memory>
#include <optional>

#include "video/DecodedPicture.h"
#include "video/EncodedFrame.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace caldrovex {

// The receiving end of the host's video, as a device decodes it: libavcodec's H.264 decoder
// fed each access unit converted back to Annex B (parameter sets in front of key frames),
// low delay, so every picture comes out of the call that fed it. Pictures are converted to
// RGB (BT.709, video range, as the host encodes) for saving and for checking colours.
//
// Not thread-safe; one decoder per stream. Decoding starts at the first key frame: frames
// before it are skipped.
class H264Decoder {
public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // Decodes one access unit. Returns the picture it completed, nullopt when it completed
    // none (or when no key frame has come yet). Throws CaldrovexError when the decoder
    // rejects the data.
    std::optional<DecodedPicture> decode(const EncodedFrame& frame);

    // Frames decoded so far.
    int64_t pictures() const { return pictures_; }

private:
    DecodedPicture toRgb(const AVFrame& frame);

    struct Deleters {
        void operator()(AVCodecContext* context) const;
        void operator()(AVFrame* frame) const;
        void operator()(AVPacket* packet) const;
        void operator()(SwsContext* context) const;
    };
    std::unique_ptr<AVCodecContext, Deleters> context_;
    std::unique_ptr<AVFrame, Deleters> frame_;
    std::unique_ptr<AVPacket, Deleters> packet_;
    std::unique_ptr<SwsContext, Deleters> scaler_;
    bool started_ = false;
    int64_t pictures_ = 0;
};

}  // namespace caldrovex
