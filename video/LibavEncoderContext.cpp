#include "video/LibavEncoderContext.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>

#include "protocol/StreamSettings.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
}

namespace caldrovex {

namespace {

// Presentation times are handed over in microseconds: fine enough for any capture clock, and
// the 1 ms step H264Encoder uses between equal times stays exact.
constexpr AVRational kTimeBase{1, 1'000'000};

// Buffer of the rate model, in seconds at the target rate. The buffer refills at the target,
// so at most target × (1 s + this) bits fit in any one second: 1.5 times the target.
constexpr double kBurstSeconds = 0.5;

// libx264 constant-quality factor: the quality the stream rises to when the target leaves
// room (a still desktop then costs far less than the target). 18 keeps small text crisp;
// the buffer model caps everything above the target.
constexpr const char* kSoftwareQuality = "18";

// Surfaces of the VAAPI frames pool: the one being uploaded, the one being encoded, and a
// spare for the encoder's reference handling.
constexpr int kHardwareSurfaces = 4;

int64_t bufferBits(int64_t bitrate, int fps) {
    // libx264 will not take a buffer smaller than one frame at the fill rate.
    auto burst = static_cast<int64_t>(static_cast<double>(bitrate) * kBurstSeconds);
    return std::max(burst, 2 * bitrate / std::max(fps, 1));
}

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// Options libavcodec does not recognise stay behind in the dictionary and are ignored.
struct Options {
    AVDictionary* dictionary = nullptr;
    ~Options() { av_dict_free(&dictionary); }
    void set(const char* key, const std::string& value) {
        av_dict_set(&dictionary, key, value.c_str(), 0);
    }
};

// The first render node of the machine's GPUs, if any.
std::string firstRenderNode() {
    std::error_code error;
    std::string best;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("renderD", 0) == 0 && (best.empty() || entry.path().string() < best)) {
            best = entry.path().string();
        }
    }
    return best;
}

}  // namespace

void LibavEncoderContext::Deleter::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}

void LibavEncoderContext::Deleter::operator()(AVBufferRef* buffer) const {
    av_buffer_unref(&buffer);
}

LibavEncoderContext::~LibavEncoderContext() = default;

std::unique_ptr<LibavEncoderContext> LibavEncoderContext::open(
    EncoderSession::Attempt attempt, const EncoderSession::Settings& settings,
    const EncoderTuning& tuning) {
    // 4:2:0 pictures have even sizes. Checked here because libx264 leaks a little memory
    // each time it refuses to open.
    if (settings.width <= 0 || settings.height <= 0 || settings.width % 2 != 0 ||
        settings.height % 2 != 0) {
        return nullptr;
    }
    if (attempt == EncoderSession::Attempt::software) {
        return openSoftware(settings, tuning);
    }
    if (auto vaapi = openVaapi(settings, tuning)) {
        return vaapi;
    }
    return openNvenc(settings);
}

// Allocates the codec's context with what every attempt shares.
bool LibavEncoderContext::prepare(const char* name, const EncoderSession::Settings& settings) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
        return false;
    }
    codec_.reset(avcodec_alloc_context3(codec));
    AVCodecContext* context = codec_.get();
    if (context == nullptr) {
        return false;
    }
    fps_ = std::max(settings.fps, 1);
    context->width = settings.width;
    context->height = settings.height;
    context->pix_fmt = AV_PIX_FMT_NV12;
    context->time_base = kTimeBase;
    context->framerate = AVRational{fps_, 1};
    context->gop_size =
        static_cast<int>(std::min<int64_t>(int64_t{fps_} * kKeyframeIntervalSeconds, INT32_MAX));
    context->max_b_frames = 0;
    context->color_range = AVCOL_RANGE_MPEG;
    context->colorspace = AVCOL_SPC_BT709;
    context->color_primaries = AVCOL_PRI_BT709;
    context->color_trc = AVCOL_TRC_BT709;
    setBitrate(settings.bitrate);
    return true;
}

std::unique_ptr<LibavEncoderContext> LibavEncoderContext::openSoftware(
    const EncoderSession::Settings& settings, const EncoderTuning& tuning) {
    std::unique_ptr<LibavEncoderContext> encoder(new LibavEncoderContext());
    if (!encoder->prepare("libx264", settings)) {
        return nullptr;
    }
    encoder->codec_->thread_count = std::max(tuning.threads, 0);
    Options options;
    options.set("preset", tuning.preset);
    options.set("tune", "zerolatency");
    options.set("profile", "main");
    options.set("crf", kSoftwareQuality);
    // No key frames of the encoder's own choosing at "scene cuts": on a screen those are
    // window switches, and an IDR there is a burst the pacer pays for while a P-frame with
    // intra blocks shows the same. Key frames come on request and by the interval.
    std::string params = "scenecut=0";
    for (const std::string* more :
         {&tuning.params, settings.scaled ? &tuning.scaledParams : nullptr}) {
        if (more != nullptr && !more->empty()) params += ":" + *more;
    }
    options.set("x264-params", params);
    // A forced picture is an IDR that carries SPS and PPS, not just an intra picture.
    options.set("forced-idr", "1");
    if (avcodec_open2(encoder->codec_.get(), encoder->codec_->codec, &options.dictionary) < 0) {
        return nullptr;
    }
    return encoder;
}

std::unique_ptr<LibavEncoderContext> LibavEncoderContext::openVaapi(
    const EncoderSession::Settings& settings, const EncoderTuning& tuning) {
    std::string node = tuning.renderNode.empty() ? firstRenderNode() : tuning.renderNode;
    if (node.empty()) {
        return nullptr;
    }
    std::unique_ptr<LibavEncoderContext> encoder(new LibavEncoderContext());
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, node.c_str(), nullptr, 0) < 0) {
        return nullptr;
    }
    encoder->device_.reset(device);
    encoder->frames_.reset(av_hwframe_ctx_alloc(device));
    if (!encoder->frames_ || !encoder->prepare("h264_vaapi", settings)) {
        return nullptr;
    }
    auto* frames = reinterpret_cast<AVHWFramesContext*>(encoder->frames_->data);
    frames->format = AV_PIX_FMT_VAAPI;
    frames->sw_format = AV_PIX_FMT_NV12;
    frames->width = settings.width;
    frames->height = settings.height;
    frames->initial_pool_size = kHardwareSurfaces;
    if (av_hwframe_ctx_init(encoder->frames_.get()) < 0) {
        return nullptr;
    }
    AVCodecContext* context = encoder->codec_.get();
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->hw_frames_ctx = av_buffer_ref(encoder->frames_.get());
    encoder->constantBitrate_ = true;
    encoder->setBitrate(settings.bitrate);
    Options options;
    options.set("rc_mode", "CBR");
    // One picture in the GPU at a time: each comes out before the next goes in.
    options.set("async_depth", "1");
    // High profile without B-frames: the constrained high profile.
    options.set("profile", "high");
    options.set("forced-idr", "1");
    if (context->hw_frames_ctx == nullptr ||
        avcodec_open2(context, context->codec, &options.dictionary) < 0) {
        return nullptr;
    }
    return encoder;
}

std::unique_ptr<LibavEncoderContext> LibavEncoderContext::openNvenc(
    const EncoderSession::Settings& settings) {
    std::unique_ptr<LibavEncoderContext> encoder(new LibavEncoderContext());
    encoder->constantBitrate_ = true;
    if (!encoder->prepare("h264_nvenc", settings)) {
        return nullptr;
    }
    Options options;
    options.set("preset", "p1");
    options.set("tune", "ull");
    options.set("zerolatency", "1");
    options.set("delay", "0");
    options.set("rc", "cbr");
    options.set("profile", "high");
    options.set("forced-idr", "1");
    if (avcodec_open2(encoder->codec_.get(), encoder->codec_->codec, &options.dictionary) < 0) {
        return nullptr;
    }
    return encoder;
}

void LibavEncoderContext::setBitrate(int64_t bitrate) {
    AVCodecContext* context = codec_.get();
    // H264Encoder keeps to this floor already; a session opened directly does too.
    bitrate = std::max(bitrate, StreamSettings::kEncoderFloorBitrate);
    context->rc_max_rate = bitrate;
    context->rc_buffer_size =
        static_cast<int>(std::min<int64_t>(bufferBits(bitrate, fps_), INT32_MAX));
    if (constantBitrate_) {
        context->bit_rate = bitrate;
    }
}

int LibavEncoderContext::send(AVFrame* picture) {
    if (!frames_) {
        return avcodec_send_frame(codec_.get(), picture);
    }
    std::unique_ptr<AVFrame, FrameDeleter> surface(av_frame_alloc());
    if (!surface) {
        return AVERROR(ENOMEM);
    }
    int status = av_hwframe_get_buffer(frames_.get(), surface.get(), 0);
    if (status >= 0) status = av_hwframe_transfer_data(surface.get(), picture, 0);
    if (status >= 0) status = av_frame_copy_props(surface.get(), picture);
    if (status < 0) {
        return status;
    }
    return avcodec_send_frame(codec_.get(), surface.get());
}

}  // namespace caldrovex
