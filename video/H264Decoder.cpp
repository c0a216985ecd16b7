#include "video/H264Decoder.h"

#include <cstring>
#include <string>

#include "platform/CaldrovexError.h"
#include "video/H264Bitstream.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace caldrovex {

void H264Decoder::Deleters::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}
void H264Decoder::Deleters::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}
void H264Decoder::Deleters::operator()(AVPacket* packet) const {
    av_packet_free(&packet);
}
void H264Decoder::Deleters::operator()(SwsContext* context) const {
    sws_freeContext(context);
}

H264Decoder::H264Decoder() : frame_(av_frame_alloc()), packet_(av_packet_alloc()) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec || !frame_ || !packet_) throw CaldrovexError("The H.264 decoder is not available.");
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) throw CaldrovexError("The H.264 decoder is not available.");
    // One thread and low delay: a picture is out as soon as its access unit is in, as on a
    // phone's hardware decoder.
    context_->thread_count = 1;
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(context_.get(), codec, nullptr) < 0)
        throw CaldrovexError("The H.264 decoder could not be opened.");
}

H264Decoder::~H264Decoder() = default;

std::optional<DecodedPicture> H264Decoder::decode(const EncodedFrame& frame) {
    if (!started_ && !(frame.keyframe && frame.parameterSets)) return std::nullopt;
    started_ = true;
    const std::vector<uint8_t> stream = H264Bitstream::toAnnexB(frame);
    if (av_new_packet(packet_.get(), static_cast<int>(stream.size())) < 0)
        throw CaldrovexError("The decoder ran out of memory.");
    std::memcpy(packet_->data, stream.data(), stream.size());
    if (frame.keyframe) packet_->flags |= AV_PKT_FLAG_KEY;
    const int status = avcodec_send_packet(context_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (status < 0)
        throw CaldrovexError("The decoder refused a frame (" + std::to_string(status) + ").");

    std::optional<DecodedPicture> newest;
    while (avcodec_receive_frame(context_.get(), frame_.get()) == 0) {
        newest = toRgb(*frame_);
        ++pictures_;
        av_frame_unref(frame_.get());
    }
    return newest;
}

DecodedPicture H264Decoder::toRgb(const AVFrame& frame) {
    const auto format = static_cast<AVPixelFormat>(frame.format);
    scaler_.reset(sws_getCachedContext(scaler_.release(), frame.width, frame.height, format,
                                       frame.width, frame.height, AV_PIX_FMT_RGB24, SWS_POINT,
                                       nullptr, nullptr, nullptr));
    if (!scaler_) throw CaldrovexError("The decoded picture could not be converted.");
    // The host encodes BT.709 in video range; decode the same way whatever the stream says.
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(scaler_.get(), coefficients, 0, coefficients, 1, 0, 1 << 16, 1 << 16);

    DecodedPicture picture;
    picture.width = frame.width;
    picture.height = frame.height;
    picture.rgb.resize(static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3);
    uint8_t* planes[1] = {picture.rgb.data()};
    const int strides[1] = {frame.width * 3};
    sws_scale(scaler_.get(), frame.data, frame.linesize, 0, frame.height, planes, strides);
    return picture;
}

}  // namespace caldrovex
