#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "video/EncoderSession.h"

namespace caldrovex::test {

// An encoder session that encodes nothing: it records what it is given and reports outputs
// only when the test says so, on the test's thread.
class FakeEncoderSession final : public EncoderSession {
public:
    struct Submitted {
        int64_t ptsMicros;
        bool forceKeyframe;
        int64_t bitrate;
        OutputHandler handler;
    };

    // What the fakes of one factory share with the test.
    struct Log {
        std::mutex mutex;
        std::vector<EncoderSession::Attempt> attempts;   // every open, successful or not
        std::vector<EncoderSession::Settings> settings;  // of successful opens
        int completed = 0;                               // sessions completed
        int prepareStatus = 0;                           // what prepare returns
        int submitStatus = 0;                            // what submit returns
    };

    FakeEncoderSession(bool lowLatency, int64_t bitrate, std::shared_ptr<Log> log);
    ~FakeEncoderSession() override;

    // A factory whose opens fail for the attempts in `refused`; `made`, when given, receives
    // each session made (the factory's caller owns it).
    static EncoderSessionFactory factory(
        std::shared_ptr<Log> log, std::vector<EncoderSession::Attempt> refused = {},
        std::shared_ptr<std::vector<FakeEncoderSession*>> made = nullptr);

    bool lowLatency() const override { return lowLatency_; }
    int prepare() override;
    void setBitrate(int64_t bitrate) override { bitrate_ = bitrate; }
    int submit(const VideoFrame& frame, int64_t ptsMicros, bool forceKeyframe,
               OutputHandler handler) override;
    void complete() override;

    int prepareCalls = 0;

    std::vector<Submitted> submitted;

    // Reports frame `index` as encoded into `annexB` (key flag as given), as dropped
    // (nullopt), or as failed with `status`.
    void output(size_t index, const std::optional<std::vector<uint8_t>>& annexB, bool keyframe,
                int status = 0);

private:
    bool lowLatency_;
    int64_t bitrate_;
    std::shared_ptr<Log> log_;
    bool completed_ = false;
};

// Annex B bytes of a tiny made-up access unit: SPS and PPS (when `withParameterSets`) then one
// slice of the given type. Only the NAL headers are meaningful.
std::vector<uint8_t> fakeAccessUnit(bool withParameterSets, uint8_t sliceType);

}  // namespace caldrovex::test
