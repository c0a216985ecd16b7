#include "video/FrameConverter.h"

#include <algorithm>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/buffer.h>
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

// Frames the converter fills in turn: one the pipeline keeps as its latest picture, one the
// encoder may still be reading, one to write. A fourth covers a slow encoder; beyond that a
// frame still held elsewhere is left to its holders and replaced by a fresh one.
constexpr size_t kSlots = 4;
// Conversions remembered to bring an older frame up to date; an older one is copied whole.
constexpr size_t kHistory = 8;

// Rows of the stream picture, beyond the rows a change maps to, that the bilinear filter
// still reaches: chroma is filtered over two stream rows each side of its own.
constexpr int kFilterReach = 2;

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

void keepPixels(void*, uint8_t*) {}

// A frame that lends the captured pixels to libswscale without copying or owning them.
FramePtr sourceFrame(const uint8_t* pixels, int stride, int width, int height) {
    FramePtr frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    auto* data = const_cast<uint8_t*>(pixels);
    frame->buf[0] = av_buffer_create(data, static_cast<size_t>(stride) * height, keepPixels,
                                     nullptr, AV_BUFFER_FLAG_READONLY);
    if (frame->buf[0] == nullptr) throw std::bad_alloc();
    frame->data[0] = data;
    frame->linesize[0] = stride;
    frame->format = AV_PIX_FMT_BGR0;
    frame->width = width;
    frame->height = height;
    return frame;
}

SwsContext* makeContext(int sourceWidth, int sourceHeight, int width, int height) {
    SwsContext* context = sws_getContext(sourceWidth, sourceHeight, AV_PIX_FMT_BGR0, width, height,
                                         AV_PIX_FMT_NV12, kScaleFlags, nullptr, nullptr, nullptr);
    if (context != nullptr) {
        // Screen pixels are full-range RGB; the stream is BT.709 in video range, as the
        // encoder labels it.
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(context, bt709, 1, bt709, 0, 0, kUnity, kUnity);
    }
    return context;
}

// How libswscale places a band of rows asked for with sws_receive_slice. Some versions
// (5.1 among them) offset every plane by the band's first row shifted by the chroma
// subsampling, luma included, so an NV12 luma band lands at half its row; that is made up
// for by moving the luma plane down the other half. Anything else: bands are not used.
enum class SliceOutput { exact, lumaHalved, unusable };

SliceOutput probeSliceOutput() {
    constexpr int kSide = 8;
    constexpr int kBand = 4;
    std::vector<uint8_t> pixels(kSide * kSide * 4);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint8_t>(40 + 20 * (i / (kSide * 4)));
    }
    std::unique_ptr<SwsContext, void (*)(SwsContext*)> context(
        makeContext(kSide, kSide, kSide, kSide), sws_freeContext);
    FramePtr whole(av_frame_alloc());
    FramePtr band(av_frame_alloc());
    if (!context || !whole || !band) return SliceOutput::unusable;
    for (AVFrame* frame : {whole.get(), band.get()}) {
        VideoFrame::describe(frame, kSide, kSide);
        if (av_frame_get_buffer(frame, 0) < 0) return SliceOutput::unusable;
        std::memset(frame->data[0], 0, static_cast<size_t>(frame->linesize[0]) * kSide);
    }
    const uint8_t* source[4] = {pixels.data(), nullptr, nullptr, nullptr};
    const int stride[4] = {kSide * 4, 0, 0, 0};
    sws_scale(context.get(), source, stride, 0, kSide, whole->data, whole->linesize);
    FramePtr input = sourceFrame(pixels.data(), kSide * 4, kSide, kSide);
    if (sws_frame_start(context.get(), band.get(), input.get()) < 0) return SliceOutput::unusable;
    int status = sws_send_slice(context.get(), 0, kSide);
    if (status >= 0) status = sws_receive_slice(context.get(), kBand, kSide - kBand);
    sws_frame_end(context.get());
    if (status < 0) return SliceOutput::unusable;
    auto row = [](const AVFrame* frame, int y) { return frame->data[0] + y * frame->linesize[0]; };
    if (std::memcmp(row(band.get(), kBand), row(whole.get(), kBand), kSide) == 0) {
        return SliceOutput::exact;
    }
    if (std::memcmp(row(band.get(), kBand / 2), row(whole.get(), kBand), kSide) == 0) {
        return SliceOutput::lumaHalved;
    }
    return SliceOutput::unusable;
}

SliceOutput sliceOutput() {
    static const SliceOutput probed = probeSliceOutput();
    return probed;
}

}  // namespace

void FrameConverter::ContextDeleter::operator()(SwsContext* context) const {
    sws_freeContext(context);
}

FrameConverter::FrameConverter(int sourceWidth, int sourceHeight, int width, int height)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      width_(width),
      height_(height),
      pool_(width, height) {
    if (sourceWidth <= 0 || sourceHeight <= 0) {
        throw std::bad_alloc();
    }
    context_.reset(makeContext(sourceWidth, sourceHeight, width, height));
    if (!context_) {
        throw std::bad_alloc();
    }
    partial_ = sliceOutput() != SliceOutput::unusable;
    // A stream row draws on source rows up to one scale step away: widen by that too.
    margin_ = kFilterReach + (sourceHeight + height - 1) / height;
}

FrameConverter::~FrameConverter() = default;

VideoFrame FrameConverter::convert(const uint8_t* pixels, int stride) {
    return convert(pixels, stride, RowBands::all(sourceHeight_));
}

VideoFrame FrameConverter::convert(const uint8_t* pixels, int stride, const RowBands& changed) {
    const RowBands everything = RowBands::all(height_);
    RowBands dirty =
        partial_ && newest_ >= 0
            ? changed.scaled(sourceHeight_, height_, margin_,
                             static_cast<int>(sws_receive_slice_alignment(context_.get())))
            : everything;
    Slot& slot = writableSlot();
    RowBands stale = newest_ >= 0 ? staleRows(slot) : everything;
    RowBands carried = stale.minus(dirty);
    if (newest_ >= 0 && !carried.empty()) {
        copyRows(slots_[newest_].frame, slot.frame, carried);
    }
    convertRows(pixels, stride, slot.frame, dirty);
    stats_ = Stats{dirty.rows(), carried.rows()};

    slot.filledAt = ++conversions_;
    newest_ = static_cast<int>(&slot - slots_.data());
    history_.emplace_back(conversions_, std::move(dirty));
    if (history_.size() > kHistory) {
        history_.pop_front();
    }
    return slot.frame;
}

FrameConverter::Slot& FrameConverter::writableSlot() {
    Slot* best = nullptr;
    for (Slot& slot : slots_) {
        // The newest frame itself is best when nobody holds it: nothing to bring up to date.
        if (slot.frame.exclusive() && (best == nullptr || slot.filledAt > best->filledAt)) {
            best = &slot;
        }
    }
    if (best != nullptr) {
        return *best;
    }
    if (slots_.size() < kSlots) {
        slots_.push_back(Slot{pool_.acquire(), 0});
        return slots_.back();
    }
    // Every frame is still held elsewhere: the oldest is left to its holders.
    Slot* oldest = nullptr;
    for (Slot& slot : slots_) {
        if (&slot - slots_.data() != newest_ &&
            (oldest == nullptr || slot.filledAt < oldest->filledAt)) {
            oldest = &slot;
        }
    }
    *oldest = Slot{pool_.acquire(), 0};
    return *oldest;
}

RowBands FrameConverter::staleRows(const Slot& slot) const {
    if (slot.filledAt == 0 || history_.empty() || history_.front().first > slot.filledAt + 1) {
        return RowBands::all(height_);
    }
    RowBands stale;
    for (const auto& [conversion, rows] : history_) {
        if (conversion > slot.filledAt) {
            stale.add(rows);
        }
    }
    return stale;
}

void FrameConverter::copyRows(const VideoFrame& from, VideoFrame& to, const RowBands& rows) const {
    const AVFrame* source = from.avFrame();
    AVFrame* target = to.avFrame();
    // Frames of one pool share their layout, so a band is one block per plane.
    for (const RowBands::Band& band : rows.bands()) {
        for (int plane = 0; plane < 2; ++plane) {
            int shift = plane == 0 ? 0 : 1;
            int begin = band.begin >> shift;
            int end = (band.end + shift) >> shift;
            size_t offset = static_cast<size_t>(begin) * target->linesize[plane];
            std::memcpy(target->data[plane] + offset, source->data[plane] + offset,
                        static_cast<size_t>(end - begin) * target->linesize[plane]);
        }
    }
}

void FrameConverter::convertRows(const uint8_t* pixels, int stride, VideoFrame& to,
                                 const RowBands& rows) {
    AVFrame* target = to.avFrame();
    if (rows.rows() == height_) {
        const uint8_t* source[4] = {pixels, nullptr, nullptr, nullptr};
        const int sourceStride[4] = {stride, 0, 0, 0};
        sws_scale(context_.get(), source, sourceStride, 0, sourceHeight_, target->data,
                  target->linesize);
        return;
    }
    FramePtr input = sourceFrame(pixels, stride, sourceWidth_, sourceHeight_);
    const bool halved = sliceOutput() == SliceOutput::lumaHalved;
    for (const RowBands::Band& band : rows.bands()) {
        FramePtr output(av_frame_alloc());
        if (!output || av_frame_ref(output.get(), target) < 0) throw std::bad_alloc();
        if (halved) {
            output->data[0] +=
                static_cast<ptrdiff_t>(band.begin - band.begin / 2) * output->linesize[0];
        }
        if (sws_frame_start(context_.get(), output.get(), input.get()) < 0) throw std::bad_alloc();
        int status = sws_send_slice(context_.get(), 0, static_cast<unsigned>(sourceHeight_));
        if (status >= 0) {
            status = sws_receive_slice(context_.get(), static_cast<unsigned>(band.begin),
                                       static_cast<unsigned>(band.end - band.begin));
        }
        sws_frame_end(context_.get());
        if (status < 0) throw std::bad_alloc();
    }
}

void FrameConverter::prefault() {
    while (slots_.size() < kSlots) {
        slots_.push_back(Slot{pool_.acquire(), 0});
    }
    for (Slot& slot : slots_) {
        if (slot.frame.exclusive() && &slot - slots_.data() != newest_) {
            slot.frame.fillSolid(16, 128, 128);
        }
    }
}

}  // namespace caldrovex
