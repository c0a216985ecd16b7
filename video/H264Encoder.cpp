#include "video/H264Encoder.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "platform/CaldrovexError.h"
#include "video/H264Bitstream.h"
#include "video/LibavEncoderSession.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

namespace caldrovex {

namespace {

// A key frame owed while one was forced less than this long ago waits for the gap: a burst
// of requests (a new viewer, a lost frame, a device asking) costs one key frame, not several.
constexpr double kMinimumForcedKeyframeSpacing = 0.3;

// The step used when a frame's time is not later than the previous one's.
const MediaTime kTimestampStep = MediaTime::make(1, 1000);

// The unit of presentation times handed to sessions.
constexpr int32_t kSessionTimescale = 1'000'000;

// libavcodec prints at "info" level by default: statistics for every session, and an error
// for every hardware encoder that is not there, each time a session is built. The host keeps
// no log; failures reach the user as sentences. A level someone chose on purpose is kept.
void quietLibav() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO) {
            av_log_set_level(AV_LOG_FATAL);
        }
    });
}

}  // namespace

H264Encoder::KeyframeState::KeyframeState()
    : lastForcedKeyframe(-std::numeric_limits<double>::infinity()) {}

void H264Encoder::KeyframeState::set() {
    std::lock_guard guard(lock);
    needsKeyframe = true;
}

H264Encoder::H264Encoder(platform::ClockPtr clock, EncoderSessionFactory factory)
    : clock_(std::move(clock)),
      factory_(std::move(factory)),
      keyframes_(std::make_shared<KeyframeState>()) {
    quietLibav();
}

H264Encoder::~H264Encoder() {
    tearDownSession();
}

EncoderSessionFactory H264Encoder::defaultFactory() {
    return LibavEncoderSession::factory();
}

void H264Encoder::setNeedsKeyframe() {
    keyframes_->set();
}

bool H264Encoder::needsKeyframe() const {
    std::lock_guard guard(keyframes_->lock);
    return keyframes_->needsKeyframe;
}

void H264Encoder::tearDownSession() {
    if (session_) {
        session_->complete();
        session_.reset();
    }
}

void H264Encoder::setBitrate(int64_t bitrate) {
    bitrate_ = std::max(bitrate, StreamSettings::kEncoderFloorBitrate);
    if (session_) {
        session_->setBitrate(bitrate_);
    }
}

void H264Encoder::configure(int width, int height) {
    tearDownSession();
    width_ = width;
    height_ = height;
    lastTimestamp_ = MediaTime::invalid();

    EncoderSession::Settings settings{width, height, fps_, bitrate_, scaled_};
    for (auto attempt :
         {EncoderSession::Attempt::lowLatencyHardware, EncoderSession::Attempt::software}) {
        session_ = factory_(attempt, settings);
        if (session_) {
            lowLatency_ = attempt == EncoderSession::Attempt::lowLatencyHardware;
            break;
        }
    }
    if (!session_) {
        throw CaldrovexError("Could not start H.264 encoding.");
    }
    session_->setBitrate(bitrate_);
    int status = session_->prepare();
    if (status != 0) {
        // The session stays: the next encode uses it without configuring again.
        throw CaldrovexError("Could not prepare H.264 encoding (" + std::to_string(status) + ").");
    }
    std::lock_guard guard(keyframes_->lock);
    // The first frame of every new session is a forced key frame.
    keyframes_->needsKeyframe = true;
    keyframes_->lastForcedKeyframe = -std::numeric_limits<double>::infinity();
}

void H264Encoder::prepare(int width, int height, bool scaled) {
    if (session_ && width == width_ && height == height_ && scaled == scaled_) {
        return;
    }
    scaled_ = scaled;
    try {
        configure(width, height);
    } catch (const CaldrovexError&) {
        // The first frame meets the same failure, and the pipeline reports it then.
    }
}

void H264Encoder::encode(const VideoFrame& buffer, MediaTime timestamp, Completion completion) {
    if (!session_ || buffer.width() != width_ || buffer.height() != height_) {
        configure(buffer.width(), buffer.height());
    }
    if (!session_) {
        throw CaldrovexError("H.264 encoding is not available.");
    }

    bool forced = false;
    {
        std::lock_guard guard(keyframes_->lock);
        double now = clock_->monotonic();
        if (keyframes_->needsKeyframe &&
            now - keyframes_->lastForcedKeyframe >= kMinimumForcedKeyframeSpacing) {
            keyframes_->needsKeyframe = false;
            keyframes_->lastForcedKeyframe = now;
            forced = true;
        }
    }

    // Times must increase strictly. A frame without a valid time counts as not later than
    // the previous one; the very first one without a time starts at zero.
    if (lastTimestamp_.isValid() && (!timestamp.isValid() || timestamp <= lastTimestamp_)) {
        timestamp = lastTimestamp_ + kTimestampStep;
    } else if (!timestamp.isValid()) {
        timestamp = MediaTime::make(0, kTimestampStep.timescale);
    }
    lastTimestamp_ = timestamp;

    auto state = keyframes_;
    auto handler = [state, forced, completion = std::move(completion)](int status,
                                                                       const AVPacket* packet) {
        if (status == 0 && packet != nullptr) {
            std::optional<EncodedFrame> record = frame(*packet);
            if (!record) {
                state->set();
            }
            completion(std::move(record));
            return;
        }
        if (forced) {
            state->set();
        }
        completion(std::nullopt);
    };
    int status =
        session_->submit(buffer, timestamp.rescaled(kSessionTimescale), forced, std::move(handler));
    if (status != 0) {
        if (forced) {
            keyframes_->set();
        }
        throw CaldrovexError("Video encoder failed (" + std::to_string(status) + ").");
    }
}

std::optional<EncodedFrame> H264Encoder::frame(const AVPacket& packet) {
    if (packet.data == nullptr || packet.size <= 0) {
        return std::nullopt;
    }
    EncodedFrame record;
    record.keyframe = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    std::optional<std::span<const uint8_t>> sps;
    std::optional<std::span<const uint8_t>> pps;
    auto units = H264Bitstream::splitAnnexB({packet.data, static_cast<size_t>(packet.size)});
    for (std::span<const uint8_t> unit : units) {
        uint8_t type = H264Bitstream::type(unit);
        if (record.keyframe && type == H264Bitstream::kSequenceParameterSet) {
            sps = sps.value_or(unit);
        } else if (record.keyframe && type == H264Bitstream::kPictureParameterSet) {
            pps = pps.value_or(unit);
        } else {
            H264Bitstream::appendLengthPrefixed(record.data, unit);
        }
    }
    if (record.data.empty()) {
        return std::nullopt;
    }
    if (sps && pps) {
        record.parameterSets =
            EncodedFrame::ParameterSets{{sps->begin(), sps->end()}, {pps->begin(), pps->end()}};
    } else if (sps || pps) {
        return std::nullopt;
    }
    return record;
}

}  // namespace caldrovex
