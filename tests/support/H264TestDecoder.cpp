#include "support/H264TestDecoder.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "video/H264Bitstream.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace caldrovex::test {

void H264TestDecoder::ContextDeleter::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}

H264TestDecoder::H264TestDecoder() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (codec == nullptr) {
        throw std::runtime_error("no H.264 decoder");
    }
    context_.reset(avcodec_alloc_context3(codec));
    context_->thread_count = 1;
    context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // A damaged stream fails the test instead of being concealed.
    context_->err_recognition = AV_EF_EXPLODE;
    if (avcodec_open2(context_.get(), codec, nullptr) < 0) {
        throw std::runtime_error("cannot open the H.264 decoder");
    }
}

H264TestDecoder::~H264TestDecoder() = default;

std::vector<H264TestDecoder::Picture> H264TestDecoder::decode(const EncodedFrame& frame) {
    std::vector<uint8_t> stream = H264Bitstream::toAnnexB(frame);
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> picture(av_frame_alloc(),
                                                         [](AVFrame* f) { av_frame_free(&f); });
    if (av_new_packet(packet.get(), static_cast<int>(stream.size())) < 0) {
        throw std::runtime_error("out of memory");
    }
    std::memcpy(packet->data, stream.data(), stream.size());
    if (frame.keyframe) {
        packet->flags |= AV_PKT_FLAG_KEY;
    }
    int status = avcodec_send_packet(context_.get(), packet.get());
    if (status < 0) {
        throw std::runtime_error("decoder refused a packet: " + std::to_string(status));
    }
    std::vector<Picture> pictures;
    while (avcodec_receive_frame(context_.get(), picture.get()) == 0) {
        Picture out;
        out.width = picture->width;
        out.height = picture->height;
        out.luma.resize(static_cast<size_t>(out.width) * out.height);
        for (int row = 0; row < out.height; ++row) {
            std::memcpy(out.luma.data() + static_cast<size_t>(row) * out.width,
                        picture->data[0] + static_cast<ptrdiff_t>(row) * picture->linesize[0],
                        out.width);
        }
        pictures.push_back(std::move(out));
        av_frame_unref(picture.get());
    }
    return pictures;
}

}  // namespace caldrovex::test
