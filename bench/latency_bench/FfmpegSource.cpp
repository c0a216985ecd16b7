#include "latency_bench/FfmpegSource.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <deque>
#include <span>
#include <vector>

#include "latency_bench/MonotonicTime.h"
#include "platform/CaldrovexError.h"
#include "video/H264Bitstream.h"
#include "video/H264Decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace caldrovex::bench {

namespace {

// The access unit as the host's pipeline would hand it over: length-prefixed NAL units, the
// parameter sets taken out on key frames.
EncodedFrame toEncodedFrame(std::span<const uint8_t> annexB) {
    EncodedFrame frame;
    EncodedFrame::ParameterSets sets;
    for (auto nal : H264Bitstream::splitAnnexB(annexB)) {
        const uint8_t type = H264Bitstream::type(nal);
        if (type == H264Bitstream::kSequenceParameterSet) {
            sets.sps.assign(nal.begin(), nal.end());
        } else if (type == H264Bitstream::kPictureParameterSet) {
            sets.pps.assign(nal.begin(), nal.end());
        } else {
            if (type == H264Bitstream::kIdrSlice) frame.keyframe = true;
            H264Bitstream::appendLengthPrefixed(frame.data, nal);
        }
    }
    if (frame.keyframe && !sets.sps.empty() && !sets.pps.empty()) frame.parameterSets = sets;
    return frame;
}

struct ParserCloser {
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct ContextCloser {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};

}  // namespace

FfmpegSource::FfmpegSource(const std::string& displayName, int fps, double probeX, double probeY,
                           const std::string& errorLog, FrameLog& log)
    : probeX_(probeX), probeY_(probeY), log_(log) {
    const std::string rate = std::to_string(fps);
    test::ChildProcess::Options ffmpeg;
    ffmpeg.argv = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "x11grab",
                   "-framerate", rate, "-video_size", "1920x1080", "-i", displayName,
                   // 4:2:0 in BT.709 video range, as phones decode it and as the host sends it
                   // (left alone, ffmpeg would pick 4:4:4 for a screen grab).
                   "-vf", "scale=out_color_matrix=bt709:out_range=tv", "-pix_fmt", "yuv420p",
                   "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
                   "-flush_packets", "1", "-f", "h264", "-"};
    ffmpeg.output = test::ChildProcess::Output::raw;
    ffmpeg.errorLog = errorLog;
    process_ = std::make_unique<test::ChildProcess>(std::move(ffmpeg));
    reader_ = std::thread([this] { read(); });
}

FfmpegSource::~FfmpegSource() {
    stop();
}

void FfmpegSource::stop() {
    if (process_) process_->stop(SIGINT, std::chrono::milliseconds(3000));
    if (reader_.joinable()) reader_.join();
}

void FfmpegSource::read() {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::unique_ptr<AVCodecContext, ContextCloser> context(avcodec_alloc_context3(codec));
    std::unique_ptr<AVCodecParserContext, ParserCloser> parser(av_parser_init(AV_CODEC_ID_H264));
    H264Decoder decoder;

    // Where each read ended in the stream and when it arrived: the arrival of an access
    // unit's last byte is the arrival of the first read that reached its end.
    struct Chunk {
        int64_t end;
        double at;
    };
    std::deque<Chunk> chunks;
    int64_t streamBytes = 0;
    int64_t unitsEnd = 0;

    auto takeUnit = [&](const uint8_t* data, int size) {
        unitsEnd += size;
        while (chunks.size() > 1 && chunks.front().end < unitsEnd) chunks.pop_front();
        FrameRecord record;
        record.receivedAt = chunks.front().at;
        record.bytes = size;
        const EncodedFrame frame = toEncodedFrame({data, static_cast<size_t>(size)});
        record.keyframe = frame.keyframe;
        const double start = monotonicNow();
        std::optional<DecodedPicture> picture;
        try {
            picture = decoder.decode(frame);
        } catch (const CaldrovexError&) {
            ++decodeErrors_;
            return;
        }
        if (!picture) return;
        record.decodedAt = record.receivedAt + (monotonicNow() - start);
        record.width = picture->width;
        record.height = picture->height;
        record.probe = picture->pixel(static_cast<int>(probeX_ * picture->width),
                                      static_cast<int>(probeY_ * picture->height));
        log_.add(record);
    };

    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(process_->outputFd(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        streamBytes += got;
        chunks.push_back({streamBytes, monotonicNow()});
        const uint8_t* data = buffer.data();
        int left = static_cast<int>(got);
        while (left > 0) {
            uint8_t* unit = nullptr;
            int unitSize = 0;
            const int used = av_parser_parse2(parser.get(), context.get(), &unit, &unitSize, data,
                                              left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            data += used;
            left -= used;
            if (unitSize > 0) {
                takeUnit(unit, unitSize);
            } else if (used <= 0) {
                break;  // nothing taken and nothing given: never spin on the same bytes
            }
        }
    }
    // The end of the stream ends the last unit.
    uint8_t* unit = nullptr;
    int unitSize = 0;
    av_parser_parse2(parser.get(), context.get(), &unit, &unitSize, nullptr, 0, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (unitSize > 0 && !chunks.empty()) takeUnit(unit, unitSize);
}

}  // namespace caldrovex::bench
