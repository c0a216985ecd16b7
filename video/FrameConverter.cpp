#include "video/FrameConverter.h"

#include <new>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace caldrovex {

namespace {

// Bilinear keeps thin text legible when the picture is scaled down, at a fraction of the cost
// of the wider filters; at the same size it only subsamples chroma.
constexpr int kScaleFlags = SWS_BILINEAR;

// swscale's fixed-point unit for brightness 0, contrast 1 and saturation 1.
constexpr int kUnity = 1 << 16;

}  // namespace

void FrameConverter::ContextDeleter::operator()(SwsContext* context) const {
    sws_freeContext(context);
}

FrameConverter::FrameConverter(int sourceWidth, int sourceHeight, int width, int height)
    : sourceWidth_(sourceWidth), sourceHeight_(sourceHeight), pool_(width, height) {
    if (sourceWidth <= 0 || sourceHeight <= 0) {
        throw std::bad_alloc();
    }
    context_.reset(sws_getContext(sourceWidth, sourceHeight, AV_PIX_FMT_BGR0, width, height,
                                  AV_PIX_FMT_NV12, kScaleFlags, nullptr, nullptr, nullptr));
    if (!context_) {
        throw std::bad_alloc();
    }
    // Screen pixels are full-range RGB; the stream is BT.709 in video range, as the encoder
    // labels it.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context_.get(), bt709, 1, bt709, 0, 0, kUnity, kUnity);
}

FrameConverter::~FrameConverter() = default;

VideoFrame FrameConverter::convert(const uint8_t* pixels, int stride) {
    VideoFrame frame = pool_.acquire();
    AVFrame* out = frame.avFrame();
    const uint8_t* source[4] = {pixels, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {stride, 0, 0, 0};
    sws_scale(context_.get(), source, sourceStride, 0, sourceHeight_, out->data, out->linesize);
    return frame;
}

}  // namespace caldrovex
