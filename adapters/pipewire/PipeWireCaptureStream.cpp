#include "adapters/pipewire/PipeWireCaptureStream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cmath>
#include <mutex>

#include "video/FrameConverter.h"

namespace caldrovex::platform {

namespace {

constexpr const char* kNoDaemon =
    "The screen cast could not be received: PipeWire does not answer in this session.";
constexpr const char* kStreamFailed = "The screen cast's PipeWire stream failed";
constexpr const char* kDisplayGone = "The captured display is no longer available.";
constexpr const char* kUnusableFormat =
    "The screen cast offers no picture format this computer's host can read.";

// Frames are stamped in microseconds of the capture clock, the pipeline's clock too.
constexpr int32_t kTimescale = 1'000'000;
// The largest picture asked for, beyond any monitor of today.
constexpr uint32_t kLargestSide = 16384;

std::once_flag pipeWireInit;

}  // namespace

// Everything the PipeWire thread touches. Fields below `mutex` are guarded by it; the
// PipeWire objects and the converter belong to the PipeWire thread (or to whoever holds the
// thread loop's lock), and are destroyed once that thread has ended.
struct PipeWireCaptureStream::Consumer {
    uint32_t nodeID = 0;
    CaptureDisplay display;
    CaptureConfiguration configuration;
    QueuePtr queue;
    ClockPtr clock;
    CaptureService::FrameHandler onFrame;
    CaptureService::StopHandler onStop;

    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};
    std::unique_ptr<FrameConverter> converter;
    int sourceWidth = 0;
    int sourceHeight = 0;

    std::mutex mutex;
    bool started = false;    // the start was asked for
    bool stopAsked = false;  // a stop was asked for, or the object is going away
    bool ended = false;      // the end was reported, or the start failed
    Done startDone;          // waits for the format

    ~Consumer() { shutDown(); }

    void start(Done done);
    void shutDown();
    void finishStart(std::optional<CaldrovexError> error);
    void endOnItsOwn(const std::string& message);

    void formatChanged(const spa_pod* format);
    void stateChanged(pw_stream_state state, const char* error);
    void process();
    void take(pw_buffer* buffer);
};

namespace {

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    static_cast<PipeWireCaptureStream::Consumer*>(data)->stateChanged(state, error);
}

void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format && param)
        static_cast<PipeWireCaptureStream::Consumer*>(data)->formatChanged(param);
}

void onProcess(void* data) {
    static_cast<PipeWireCaptureStream::Consumer*>(data)->process();
}

void onCoreError(void* data, uint32_t id, int, int, const char* message) {
    if (id != PW_ID_CORE) return;
    auto* consumer = static_cast<PipeWireCaptureStream::Consumer*>(data);
    consumer->finishStart(CaldrovexError(std::string(kStreamFailed) + " (" + message + ")."));
    consumer->endOnItsOwn(kDisplayGone);
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.param_changed = onParamChanged;
    events.process = onProcess;
    return events;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = onCoreError;
    return events;
}();

// What the consumer accepts: packed 32-bit pixels in the converter's byte order, any size
// (the monitor's, preferably), no faster than the stream's frame rate.
const spa_pod* formatOffer(spa_pod_builder& builder, const CaptureDisplay& display, int fps) {
    spa_rectangle size{static_cast<uint32_t>(std::max(display.width, 1)),
                       static_cast<uint32_t>(std::max(display.height, 1))};
    spa_rectangle smallest{1, 1};
    spa_rectangle largest{kLargestSide, kLargestSide};
    // A variable rate (0/1): pictures come when the screen changes, at most maxFramerate.
    spa_fraction variable{0, 1};
    spa_fraction fastest{static_cast<uint32_t>(std::max(fps, 1)), 1};
    spa_fraction slowest{1, 1};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variable), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&fastest, &slowest, &fastest)));
}

}  // namespace

void PipeWireCaptureStream::Consumer::start(Done done) {
    std::call_once(pipeWireInit, [] { pw_init(nullptr, nullptr); });
    loop = pw_thread_loop_new("caldrovex-pipewire", nullptr);
    context = loop ? pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0) : nullptr;
    if (!context || pw_thread_loop_start(loop) < 0) {
        ended = true;
        return done(CaldrovexError(kNoDaemon));
    }
    pw_thread_loop_lock(loop);
    core = pw_context_connect(context, nullptr, 0);
    if (!core) {
        pw_thread_loop_unlock(loop);
        ended = true;
        return done(CaldrovexError(kNoDaemon));
    }
    {
        std::lock_guard guard(mutex);
        startDone = std::move(done);
    }
    pw_core_add_listener(core, &coreListener, &kCoreEvents, this);
    stream = pw_stream_new(core, "caldrovex-capture",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                             "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    int result = -1;
    if (stream) {
        pw_stream_add_listener(stream, &streamListener, &kStreamEvents, this);
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[] = {formatOffer(builder, display, configuration.fps)};
        result = pw_stream_connect(
            stream, PW_DIRECTION_INPUT, nodeID,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 1);
    }
    pw_thread_loop_unlock(loop);
    if (result < 0) finishStart(CaldrovexError(std::string(kStreamFailed) + "."));
}

// Ends the thread first, so that no callback runs while the objects go away.
void PipeWireCaptureStream::Consumer::shutDown() {
    if (!loop) return;
    pw_thread_loop_lock(loop);
    if (stream) pw_stream_disconnect(stream);
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    if (stream) pw_stream_destroy(stream);
    if (core) pw_core_disconnect(core);
    if (context) pw_context_destroy(context);
    pw_thread_loop_destroy(loop);
    stream = nullptr;
    core = nullptr;
    context = nullptr;
    loop = nullptr;
}

// The start's completion runs on the capture queue: never on the PipeWire thread, from which
// its caller could not stop this stream.
void PipeWireCaptureStream::Consumer::finishStart(std::optional<CaldrovexError> error) {
    Done done;
    {
        std::lock_guard guard(mutex);
        done = std::move(startDone);
        startDone = nullptr;
        if (done && error) ended = true;
    }
    if (done) queue->post([done, error] { done(error); });
}

void PipeWireCaptureStream::Consumer::endOnItsOwn(const std::string& message) {
    {
        std::lock_guard guard(mutex);
        if (stopAsked || ended) return;
        ended = true;
    }
    if (onStop) queue->post([handler = onStop, message] { handler(message); });
}

void PipeWireCaptureStream::Consumer::formatChanged(const spa_pod* format) {
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(format, &info) < 0 ||
        (info.format != SPA_VIDEO_FORMAT_BGRx && info.format != SPA_VIDEO_FORMAT_BGRA) ||
        info.size.width == 0 || info.size.height == 0) {
        finishStart(CaldrovexError(kUnusableFormat));
        endOnItsOwn(kUnusableFormat);
        return;
    }
    sourceWidth = static_cast<int>(info.size.width);
    sourceHeight = static_cast<int>(info.size.height);
    converter = std::make_unique<FrameConverter>(sourceWidth, sourceHeight, configuration.width,
                                                 configuration.height);
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)))),
        static_cast<const spa_pod*>(
            spa_pod_builder_add_object(&builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
                                       SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                                       SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header)))),
    };
    pw_stream_update_params(stream, params, 2);
    finishStart(std::nullopt);
}

void PipeWireCaptureStream::Consumer::stateChanged(pw_stream_state state, const char* error) {
    if (state == PW_STREAM_STATE_ERROR) {
        std::string reason = error ? error : "no reason given";
        finishStart(CaldrovexError(std::string(kStreamFailed) + " (" + reason + ")."));
        endOnItsOwn(kDisplayGone);
    } else if (state == PW_STREAM_STATE_UNCONNECTED) {
        // The node went away (the screen cast ended) without our asking.
        finishStart(CaldrovexError(std::string(kStreamFailed) + "."));
        endOnItsOwn(kDisplayGone);
    }
}

void PipeWireCaptureStream::Consumer::process() {
    // Only the newest picture matters; older ones still queued go straight back.
    pw_buffer* newest = nullptr;
    while (pw_buffer* next = pw_stream_dequeue_buffer(stream)) {
        if (newest) pw_stream_queue_buffer(stream, newest);
        newest = next;
    }
    if (!newest) return;
    take(newest);
    pw_stream_queue_buffer(stream, newest);
}

void PipeWireCaptureStream::Consumer::take(pw_buffer* buffer) {
    spa_buffer* b = buffer->buffer;
    if (!converter || b->n_datas < 1) return;
    auto* header = static_cast<spa_meta_header*>(
        spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)));
    if (header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) return;
    const spa_data& data = b->datas[0];
    if (!data.data || !data.chunk || data.chunk->size == 0 ||
        (data.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) {
        return;  // no picture in this buffer: the screen is unchanged
    }
    const int stride = data.chunk->stride > 0 ? data.chunk->stride : sourceWidth * 4;
    const uint64_t needed = uint64_t(data.chunk->offset) + uint64_t(stride) * (sourceHeight - 1) +
                            uint64_t(sourceWidth) * 4;
    if (stride < sourceWidth * 4 || needed > data.maxsize) return;
    const auto* pixels = static_cast<const uint8_t*>(data.data) + data.chunk->offset;
    // The picture's time is when it was taken from the stream, as the X11 capture stamps
    // before its grab: the conversion is part of the capture's own share.
    auto micros = static_cast<int64_t>(std::llround(clock->monotonic() * kTimescale));
    VideoFrame frame = converter->convert(pixels, stride);
    queue->post([handler = onFrame, frame = std::move(frame), micros]() mutable {
        handler(std::move(frame), MediaTime::make(micros, kTimescale));
    });
}

PipeWireCaptureStream::Factory PipeWireCaptureStream::factory(ClockPtr clock) {
    return [clock](uint32_t node, const CaptureDisplay& display,
                   const CaptureConfiguration& configuration, QueuePtr queue,
                   CaptureService::FrameHandler onFrame,
                   CaptureService::StopHandler onStop) -> std::shared_ptr<CaptureStream> {
        return std::make_shared<PipeWireCaptureStream>(node, display, configuration,
                                                       std::move(queue), clock, std::move(onFrame),
                                                       std::move(onStop));
    };
}

PipeWireCaptureStream::PipeWireCaptureStream(uint32_t nodeID, CaptureDisplay display,
                                             CaptureConfiguration configuration,
                                             QueuePtr captureQueue, ClockPtr clock,
                                             CaptureService::FrameHandler onFrame,
                                             CaptureService::StopHandler onStop)
    : consumer_(std::make_unique<Consumer>()) {
    consumer_->nodeID = nodeID;
    consumer_->display = std::move(display);
    consumer_->configuration = configuration;
    consumer_->queue = std::move(captureQueue);
    consumer_->clock = std::move(clock);
    consumer_->onFrame = std::move(onFrame);
    consumer_->onStop = std::move(onStop);
}

PipeWireCaptureStream::~PipeWireCaptureStream() {
    std::lock_guard guard(consumer_->mutex);
    consumer_->stopAsked = true;
}

void PipeWireCaptureStream::startCapture(Done done) {
    {
        std::lock_guard guard(consumer_->mutex);
        if (consumer_->started || consumer_->stopAsked) return done(std::nullopt);
        consumer_->started = true;
    }
    consumer_->start(std::move(done));
}

void PipeWireCaptureStream::stopCapture(Done done) {
    {
        std::lock_guard guard(consumer_->mutex);
        consumer_->stopAsked = true;
    }
    consumer_->finishStart(CaldrovexError(std::string(kStreamFailed) + "."));
    consumer_->shutDown();
    // Behind every picture the thread posted before it ended.
    consumer_->queue->post([done] { done(std::nullopt); });
}

void PipeWireCaptureStream::exclude(const std::set<uint32_t>&, std::function<void(bool)> done) {
    done(false);
}

}  // namespace caldrovex::platform
