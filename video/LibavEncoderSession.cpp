#include "video/LibavEncoderSession.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

namespace caldrovex {

namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;

// Besides the encoder's gop, which counts frames, the interval is kept by time: a still
// screen sends few frames.
constexpr int64_t kKeyframeIntervalSeconds = LibavEncoderContext::kKeyframeIntervalSeconds;

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// Pictures a new session encodes and drops before the stream's first (see Core::warmUp).
constexpr int kWarmUpPictures = 3;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

}  // namespace

struct LibavEncoderSession::Core {
    struct Job {
        FramePtr frame;
        int64_t pts = 0;
        int64_t bitrate = 0;
        bool forceKeyframe = false;
        OutputHandler handler;  // none: a warm-up picture, whose packets are dropped
    };
    struct InFlight {
        int64_t pts;
        OutputHandler handler;
    };

    std::unique_ptr<LibavEncoderContext> encoder;

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
    void warmUp(int width, int height);
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
            encoder->setBitrate(job.bitrate);
            appliedBitrate = job.bitrate;
        }
        encode(job);
    }
    // Drain: the encoder hands out anything it still holds, and frames left without a
    // packet are reported as dropped.
    if (avcodec_send_frame(encoder->codec(), nullptr) >= 0) {
        receive();
    }
    finishAll(0);
}

// The first pictures a fresh encoder takes cost several times a later one: its picture
// buffers, tables and reference frames are touched for the first time. A few plain pictures,
// encoded and dropped before any frame of the stream, pay for that. They are flat (costing the
// rate model next to nothing) and change from one to the next, so the prediction of changed
// blocks runs too. The stream's first frame is a forced key frame, which refers to none of them.
void LibavEncoderSession::Core::warmUp(int width, int height) {
    for (int index = 0; index < kWarmUpPictures; ++index) {
        FramePtr frame(av_frame_alloc());
        if (!frame) return;
        VideoFrame::describe(frame.get(), width, height);
        if (av_frame_get_buffer(frame.get(), 0) < 0) return;
        VideoFrame picture(frame.release());
        picture.fillSolid(static_cast<uint8_t>(16 + 8 * index), 128, 128);
        Job job;
        job.frame.reset(av_frame_clone(picture.avFrame()));
        job.pts = index - kWarmUpPictures;
        job.bitrate = appliedBitrate;
        if (!job.frame) return;
        encode(job);
    }
}

void LibavEncoderSession::Core::encode(Job& job) {
    AVFrame* frame = job.frame.get();
    frame->pts = job.pts;
    bool overdue = lastKeyframePts != std::numeric_limits<int64_t>::min() &&
                   job.pts - lastKeyframePts >= kKeyframeIntervalSeconds * kMicrosPerSecond;
    frame->pict_type = job.forceKeyframe || overdue ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    int status = encoder->send(frame);
    job.frame.reset();
    if (!job.handler) {
        // A warm-up picture: whatever comes out is dropped.
        while (status >= 0 && avcodec_receive_packet(encoder->codec(), packet.get()) >= 0) {
            av_packet_unref(packet.get());
        }
        return;
    }
    if (status < 0) {
        job.handler(status, nullptr);
        return;
    }
    inFlight.push_back(InFlight{job.pts, std::move(job.handler)});
    receive();
}

void LibavEncoderSession::Core::receive() {
    for (;;) {
        int status = avcodec_receive_packet(encoder->codec(), packet.get());
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

std::unique_ptr<EncoderSession> LibavEncoderSession::open(Attempt attempt, const Settings& settings,
                                                          const EncoderTuning& tuning) {
    auto core = std::make_shared<Core>();
    core->encoder = LibavEncoderContext::open(attempt, settings, tuning);
    if (!core->encoder || !core->packet) {
        return nullptr;
    }
    core->appliedBitrate = settings.bitrate;
    auto session = std::unique_ptr<LibavEncoderSession>(
        new LibavEncoderSession(std::move(core), attempt == Attempt::lowLatencyHardware));
    session->bitrate_ = settings.bitrate;
    return session;
}

EncoderSessionFactory LibavEncoderSession::factory(EncoderTuning tuning) {
    return [tuning = std::move(tuning)](Attempt attempt, const Settings& settings) {
        return open(attempt, settings, tuning);
    };
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
    // On the caller's thread, before the output thread exists: the session is warm when
    // prepare returns, and nothing else touches the encoder yet.
    core_->warmUp(core_->encoder->codec()->width, core_->encoder->codec()->height);
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
    const AVCodecContext* context = core_->encoder->codec();
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
