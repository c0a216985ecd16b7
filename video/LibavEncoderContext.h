#pragma once

#include <cstdint>
#include <memory>

#include "video/EncoderSession.h"
#include "video/EncoderTuning.h"

struct AVBufferRef;
struct AVCodecContext;
struct AVFrame;

namespace caldrovex {

// The libavcodec encoder of one session, opened for one attempt:
// - the hardware attempt opens VAAPI on a render node when the machine has one (pictures are
//   uploaded to the GPU's surfaces), else NVENC, each with its low-latency settings;
// - the software attempt opens libx264, tuned for zero latency.
// None of them uses B-frames, so packets come out in submission order, one per frame.
//
// Rate control. The target is the fill rate of the encoder's buffer model (VBV): the stream
// can never average more than the target, and with a buffer of half a second, no one-second
// window carries more than 1.5 times the target. libx264 runs in constant-quality mode under
// that cap, which is what lets a new target govern at once: its average-bitrate mode keeps a
// running account since the first frame (the internal target of that mode does not even
// follow a reconfiguration), so after a low period it spends up to the ceiling to catch up,
// just when the network has been congested. The hardware encoders take the target as their
// constant bitrate too.
//
// Used by one thread at a time (the session's output thread once frames flow).
class LibavEncoderContext {
public:
    // A key frame at least this often even when nothing asks for one.
    static constexpr int64_t kKeyframeIntervalSeconds = 20;

    // Null when the attempt's encoders are missing or refuse the settings.
    static std::unique_ptr<LibavEncoderContext> open(EncoderSession::Attempt attempt,
                                                     const EncoderSession::Settings& settings,
                                                     const EncoderTuning& tuning);
    ~LibavEncoderContext();

    LibavEncoderContext(const LibavEncoderContext&) = delete;
    LibavEncoderContext& operator=(const LibavEncoderContext&) = delete;

    AVCodecContext* codec() const { return codec_.get(); }

    // Aims the encoder at `bitrate`; read by the encoder at its next frame, which
    // reconfigures itself in place.
    void setBitrate(int64_t bitrate);

    // Sends one NV12 picture (its pts and picture type set) to the encoder, uploaded to a
    // hardware surface first when the encoder takes those. avcodec_send_frame's status.
    int send(AVFrame* picture);

    // Whether pictures go to the GPU (the VAAPI encoder).
    bool uploads() const { return frames_ != nullptr; }

private:
    struct Deleter {
        void operator()(AVCodecContext* context) const;
        void operator()(AVBufferRef* buffer) const;
    };

    LibavEncoderContext() = default;
    static std::unique_ptr<LibavEncoderContext> openSoftware(const EncoderSession::Settings&,
                                                             const EncoderTuning&);
    static std::unique_ptr<LibavEncoderContext> openVaapi(const EncoderSession::Settings&,
                                                          const EncoderTuning&);
    static std::unique_ptr<LibavEncoderContext> openNvenc(const EncoderSession::Settings&);
    bool prepare(const char* name, const EncoderSession::Settings& settings);

    std::unique_ptr<AVCodecContext, Deleter> codec_;
    std::unique_ptr<AVBufferRef, Deleter> device_;  // VAAPI only
    std::unique_ptr<AVBufferRef, Deleter> frames_;  // VAAPI only: the surfaces pictures go to
    int fps_ = 30;
    bool constantBitrate_ = false;
};

}  // namespace caldrovex
