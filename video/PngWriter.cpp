#include "video/PngWriter.h"

#include <fstream>
#include <memory>
#include <system_error>

#include "platform/CaldrovexError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

namespace caldrovex {

namespace {

struct Deleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

CaldrovexError encodeError() {
    return CaldrovexError("The picture could not be encoded as PNG.");
}

std::unique_ptr<AVPacket, Deleter> encode(const DecodedPicture& picture) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) throw encodeError();
    std::unique_ptr<AVCodecContext, Deleter> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVFrame, Deleter> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, Deleter> packet(av_packet_alloc());
    if (!context || !frame || !packet) throw encodeError();
    context->width = picture.width;
    context->height = picture.height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 1};
    if (avcodec_open2(context.get(), codec, nullptr) < 0) throw encodeError();

    frame->width = picture.width;
    frame->height = picture.height;
    frame->format = AV_PIX_FMT_RGB24;
    // The encoder only reads the frame; the picture's buffer serves as its plane.
    av_image_fill_arrays(frame->data, frame->linesize, picture.rgb.data(), AV_PIX_FMT_RGB24,
                         picture.width, picture.height, 1);
    if (avcodec_send_frame(context.get(), frame.get()) < 0 ||
        avcodec_send_frame(context.get(), nullptr) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0)
        throw encodeError();
    return packet;
}

}  // namespace

void PngWriter::write(const DecodedPicture& picture, const std::filesystem::path& file) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.rgb.size() !=
            static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 3)
        throw encodeError();
    const auto packet = encode(picture);
    const auto partial = std::filesystem::path(file.string() + ".partial");
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(packet->data), packet->size);
        if (!out.flush())
            throw CaldrovexError("The picture could not be written to " + file.string() + ".");
    }
    std::error_code error;
    std::filesystem::rename(partial, file, error);
    if (error) throw CaldrovexError("The picture could not be written to " + file.string() + ".");
}

}  // namespace caldrovex
