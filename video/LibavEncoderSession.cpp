#include "video/LibavEncoderSession.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "protocol/StreamSettings.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace caldrovex {

namespace {

// Tunables of the libavcodec encoders.

// Presentation times are handed over in microseconds: fine enough for any capture clock, and
// the 1 ms step H264Encoder uses between equal times stays exact.
constexpr AVRational kTimeBase{1, 1'000'000};
constexpr int64_t kMicrosPerSecond = 1'000'000;

// Buffer of the rate model, in seconds at the target rate. The buffer refills at the target,
// so at most target × (1 s + this) bits fit in any one second: 1.5 times the target.
constexpr double kBurstSeconds = 0.5;

// A key frame at least this often even when nothing asks for one (besides the encoder's
// gop of fps × this many frames, which counts frames, not time, and a still screen sends few).
constexpr int64_t kKeyframeIntervalSeconds = 20;

// libx264 speed preset. Measured at 1920×1080 on a moving test picture, two shared cores at
// rest: "ultrafast" 12.5 ms/frame, "superfast" 17.8, "veryfast" 20.7. "superfast" keeps about
// half of a 30 fps frame interval for capture and transport; "ultrafast" gives up CABAC and
// the deblocking filter, which shows on text at the same bitrate.
constexpr const char* kSoftwarePreset = "superfast";

// libx264 constant-quality factor: the quality the stream rises to when the target leaves
// room (a still desktop then costs far less than the target). 18 keeps small text crisp;
// the buffer model caps everything above the target.
constexpr const char* kSoftwareQuality = "18";

struct ContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

int64_t bufferBits(int64_t bitrate, int fps) {
    // libx264 will not take a buffer smaller than one frame at the fill rate.
    auto burst = static_cast<int64_t>(static_cast<double>(bitrate) * kBurstSeconds);
    return std::max(burst, 2 * bitrate / std::max(fps, 1));
}

void setRate(AVCodecContext* context, int64_t bitrate, int fps, bool constantBitrate) {
    // H264Encoder keeps to this floor already; a session opened directly does too.
    bitrate = std::max(bitrate, StreamSettings::kEncoderFloorBitrate);
    context->rc_max_rate = bitrate;
    context->rc_buffer_size =
        static_cast<int>(std::min<int64_t>(bufferBits(bitrate, fps), INT32_MAX));
    if (constantBitrate) {
        context->bit_rate = bitrate;
    }
}

}  // namespace

struct LibavEncoderSession::Core {
    struct Job {
        FramePtr frame;
        int64_t pts = 0;
        int64_t bitrate = 0;
        bool forceKeyframe = false;
        OutputHandler handler;
    };
    struct InFlight {
        int64_t pts;
        OutputHandler handler;
    };

    ContextPtr context;
    int fps = 30;
    bool constantBitrate = false;  // the hardware encoder takes its target as bit_rate too

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;   // guarded by mutex
    bool stopping = false;  // guarded by mutex

    // Owned by the output thread.
    int64_t appliedBitrate = 0;
    std::deque<InFlight> inFlight;
    int64_t lastKeyframePts = std::numeric_limits<int64_t>::min();
    PacketPtr packet{av_packet_alloc()};

    void run();
    void encode(Job& job);
    void receive();
    void deliver(const AVPacket* encoded);
    void finishAll(int status);
};

void LibavEncoderSession::Core::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return !jobs.empty() || stopping; });
            if (jobs.empty()) {
                break;
            }
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        if (job.bitrate != appliedBitrate) {
            // Read by the encoder at its next frame, which reconfigures itself in place.
            setRate(context.get(), job.bitrate, fps, constantBitrate);
            appliedBitrate = job.bitrate;
        }
        encode(job);
    }
    // Drain: the encoder hands out anything it still holds, and frames left without a
    // packet are reported as dropped.
    if (avcodec_send_frame(context.get(), nullptr) >= 0) {
        receive();
    }
    finishAll(0);
}

void LibavEncoderSession::Core::encode(Job& job) {
    AVFrame* frame = job.frame.get();
    frame->pts = job.pts;
    bool overdue = lastKeyframePts != std::numeric_limits<int64_t>::min() &&
                   job.pts - lastKeyframePts >= kKeyframeIntervalSeconds * kMicrosPerSecond;
    frame->pict_type = job.forceKeyframe || overdue ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    int status = avcodec_send_frame(context.get(), frame);
    job.frame.reset();
    if (status < 0) {
        job.handler(status, nullptr);
        return;
    }
    inFlight.push_back(InFlight{job.pts, std::move(job.handler)});
    receive();
}

void LibavEncoderSession::Core::receive() {
    for (;;) {
        int status = avcodec_receive_packet(context.get(), packet.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
            return;
        }
        if (status < 0) {
            finishAll(status);
            return;
        }
        deliver(packet.get());
        av_packet_unref(packet.get());
    }
}

void LibavEncoderSession::Core::deliver(const AVPacket* encoded) {
    if ((encoded->flags & AV_PKT_FLAG_KEY) != 0) {
        lastKeyframePts = encoded->pts;
    }
    // Without reordering, packets come out in submission order: frames before this packet
    // that got none were dropped by the encoder.
    while (!inFlight.empty() && inFlight.front().pts < encoded->pts) {
        OutputHandler handler = std::move(inFlight.front().handler);
        inFlight.pop_front();
        handler(0, nullptr);
    }
    if (!inFlight.empty() && inFlight.front().pts == encoded->pts) {
        OutputHandler handler = std::move(inFlight.front().handler);
        inFlight.pop_front();
        handler(0, encoded);
    }
}

void LibavEncoderSession::Core::finishAll(int status) {
    while (!inFlight.empty()) {
        OutputHandler handler = std::move(inFlight.front().handler);
        inFlight.pop_front();
        handler(status, nullptr);
    }
}

std::unique_ptr<EncoderSession> LibavEncoderSession::open(Attempt attempt,
                                                          const Settings& settings) {
    bool hardware = attempt == Attempt::lowLatencyHardware;
    const AVCodec* codec = avcodec_find_encoder_by_name(hardware ? "h264_nvenc" : "libx264");
    // 4:2:0 pictures have even sizes. Checked here because libx264 leaks a little memory
    // each time it refuses to open.
    bool fits = settings.width > 0 && settings.height > 0 && settings.width % 2 == 0 &&
                settings.height % 2 == 0;
    if (codec == nullptr || !fits) {
        return nullptr;
    }
    auto core = std::make_shared<Core>();
    core->context.reset(avcodec_alloc_context3(codec));
    AVCodecContext* context = core->context.get();
    if (context == nullptr || !core->packet) {
        return nullptr;
    }
    core->fps = std::max(settings.fps, 1);
    core->constantBitrate = hardware;
    context->width = settings.width;
    context->height = settings.height;
    context->pix_fmt = AV_PIX_FMT_NV12;
    context->time_base = kTimeBase;
    context->framerate = AVRational{core->fps, 1};
    context->gop_size = static_cast<int>(
        std::min<int64_t>(int64_t{core->fps} * kKeyframeIntervalSeconds, INT32_MAX));
    context->max_b_frames = 0;
    context->color_range = AVCOL_RANGE_MPEG;
    context->colorspace = AVCOL_SPC_BT709;
    context->color_primaries = AVCOL_PRI_BT709;
    context->color_trc = AVCOL_TRC_BT709;
    setRate(context, settings.bitrate, core->fps, core->constantBitrate);
    core->appliedBitrate = settings.bitrate;

    // Options libavcodec does not recognise stay behind in the dictionary and are ignored.
    AVDictionary* raw = nullptr;
    if (hardware) {
        av_dict_set(&raw, "preset", "p1", 0);
        av_dict_set(&raw, "tune", "ull", 0);
        av_dict_set(&raw, "zerolatency", "1", 0);
        av_dict_set(&raw, "delay", "0", 0);
        av_dict_set(&raw, "rc", "cbr", 0);
        // High profile without B-frames: the constrained high profile.
        av_dict_set(&raw, "profile", "high", 0);
    } else {
        av_dict_set(&raw, "preset", kSoftwarePreset, 0);
        av_dict_set(&raw, "tune", "zerolatency", 0);
        av_dict_set(&raw, "profile", "main", 0);
        av_dict_set(&raw, "crf", kSoftwareQuality, 0);
        // No key frames of the encoder's own choosing at "scene cuts": on a screen those are
        // window switches, and an IDR there is a burst the pacer pays for while a P-frame
        // with intra blocks shows the same. Key frames come on request and by the interval.
        av_dict_set(&raw, "x264-params", "scenecut=0", 0);
    }
    // A forced picture is an IDR that carries SPS and PPS, not just an intra picture.
    av_dict_set(&raw, "forced-idr", "1", 0);
    int status = avcodec_open2(context, codec, &raw);
    av_dict_free(&raw);
    if (status < 0) {
        return nullptr;
    }
    auto session =
        std::unique_ptr<LibavEncoderSession>(new LibavEncoderSession(std::move(core), hardware));
    session->bitrate_ = settings.bitrate;
    return session;
}

LibavEncoderSession::LibavEncoderSession(std::shared_ptr<Core> core, bool lowLatency)
    : core_(std::move(core)),
      lowLatency_(lowLatency),
      lastPts_(std::numeric_limits<int64_t>::min()) {}

LibavEncoderSession::~LibavEncoderSession() {
    complete();
}

int LibavEncoderSession::prepare() {
    if (worker_.joinable()) {
        return 0;
    }
    try {
        worker_ = std::thread([core = core_] { core->run(); });
    } catch (const std::system_error& error) {
        return AVERROR(error.code().value());
    }
    return 0;
}

void LibavEncoderSession::setBitrate(int64_t bitrate) {
    // Travels with the next submitted frame, so frames already queued keep the old target.
    bitrate_ = bitrate;
}

int LibavEncoderSession::submit(const VideoFrame& frame, int64_t ptsMicros, bool forceKeyframe,
                                OutputHandler handler) {
    const AVFrame* source = frame.avFrame();
    const AVCodecContext* context = core_->context.get();
    if (source == nullptr || source->format != AV_PIX_FMT_NV12 || source->width != context->width ||
        source->height != context->height) {
        return AVERROR(EINVAL);
    }
    FramePtr reference(av_frame_alloc());
    if (!reference) {
        return AVERROR(ENOMEM);
    }
    if (int status = av_frame_ref(reference.get(), source); status < 0) {
        return status;
    }
    {
        std::lock_guard lock(core_->mutex);
        if (core_->stopping) {
            return AVERROR_EOF;
        }
    }
    if (int status = prepare(); status < 0) {
        return status;
    }
    int64_t pts = lastPts_ == std::numeric_limits<int64_t>::min()
                      ? ptsMicros
                      : std::max(ptsMicros, lastPts_ + 1);
    {
        std::lock_guard lock(core_->mutex);
        core_->jobs.push_back(
            Core::Job{std::move(reference), pts, bitrate_, forceKeyframe, std::move(handler)});
    }
    core_->wake.notify_one();
    lastPts_ = pts;
    return 0;
}

void LibavEncoderSession::complete() {
    {
        std::lock_guard lock(core_->mutex);
        core_->stopping = true;
    }
    core_->wake.notify_all();
    if (!worker_.joinable()) {
        return;
    }
    if (worker_.get_id() == std::this_thread::get_id()) {
        // Called from one of our own handlers: the thread finishes the remaining frames
        // when the handler returns, holding the shared core.
        worker_.detach();
    } else {
        worker_.join();
    }
}

}  // namespace caldrovex
