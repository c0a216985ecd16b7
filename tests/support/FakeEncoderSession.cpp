#include "support/FakeEncoderSession.h"

#include <algorithm>
#include <cstring>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace caldrovex::test {

FakeEncoderSession::FakeEncoderSession(bool lowLatency, int64_t bitrate, std::shared_ptr<Log> log)
    : lowLatency_(lowLatency), bitrate_(bitrate), log_(std::move(log)) {}

FakeEncoderSession::~FakeEncoderSession() {
    complete();
}

EncoderSessionFactory FakeEncoderSession::factory(
    std::shared_ptr<Log> log, std::vector<EncoderSession::Attempt> refused,
    std::shared_ptr<std::vector<FakeEncoderSession*>> made) {
    return [log, refused, made](
               EncoderSession::Attempt attempt,
               const EncoderSession::Settings& settings) -> std::unique_ptr<EncoderSession> {
        {
            std::lock_guard guard(log->mutex);
            log->attempts.push_back(attempt);
        }
        if (std::find(refused.begin(), refused.end(), attempt) != refused.end()) {
            return nullptr;
        }
        {
            std::lock_guard guard(log->mutex);
            log->settings.push_back(settings);
        }
        auto session = std::make_unique<FakeEncoderSession>(
            attempt == EncoderSession::Attempt::lowLatencyHardware, settings.bitrate, log);
        if (made) {
            made->push_back(session.get());
        }
        return session;
    };
}

int FakeEncoderSession::prepare() {
    ++prepareCalls;
    std::lock_guard guard(log_->mutex);
    return log_->prepareStatus;
}

int FakeEncoderSession::submit(const VideoFrame&, int64_t ptsMicros, bool forceKeyframe,
                               OutputHandler handler) {
    {
        std::lock_guard guard(log_->mutex);
        if (log_->submitStatus != 0) {
            return log_->submitStatus;
        }
    }
    submitted.push_back(Submitted{ptsMicros, forceKeyframe, bitrate_, std::move(handler)});
    return 0;
}

void FakeEncoderSession::complete() {
    if (completed_) {
        return;
    }
    completed_ = true;
    // Frames never reported count as dropped, as a real session's drain reports them.
    for (auto& frame : submitted) {
        if (frame.handler) {
            auto handler = std::move(frame.handler);
            frame.handler = nullptr;
            handler(0, nullptr);
        }
    }
    std::lock_guard guard(log_->mutex);
    ++log_->completed;
}

void FakeEncoderSession::output(size_t index, const std::optional<std::vector<uint8_t>>& annexB,
                                bool keyframe, int status) {
    auto handler = std::move(submitted.at(index).handler);
    submitted.at(index).handler = nullptr;
    if (!annexB) {
        handler(status, nullptr);
        return;
    }
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, static_cast<int>(annexB->size()));
    if (!annexB->empty()) {
        std::memcpy(packet->data, annexB->data(), annexB->size());
    }
    packet->pts = submitted.at(index).ptsMicros;
    packet->flags = keyframe ? AV_PKT_FLAG_KEY : 0;
    handler(status, packet);
    av_packet_free(&packet);
}

std::vector<uint8_t> fakeAccessUnit(bool withParameterSets, uint8_t sliceType) {
    std::vector<uint8_t> bytes;
    if (withParameterSets) {
        bytes.insert(bytes.end(), {0, 0, 0, 1, 0x67, 0x4d, 0x00, 0x1f, 0xab});
        bytes.insert(bytes.end(), {0, 0, 0, 1, 0x68, 0xee, 0x3c, 0x80});
    }
    bytes.insert(bytes.end(), {0, 0, 1, static_cast<uint8_t>(0x60 | sliceType), 0x88, 0x84, 0x21});
    return bytes;
}

}  // namespace caldrovex::test
