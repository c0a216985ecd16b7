#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <thread>

#include "latency_bench/FrameLog.h"
#include "support/ChildProcess.h"

namespace caldrovex::bench {

// What a user can do without the host: stock ffmpeg grabbing the X screen at a fixed frame
// rate (x11grab) and encoding with libx264 (ultrafast, zerolatency, 4:2:0) to a raw H.264
// stream on its standard output, flushed after every packet. The bench is the receiver: a
// thread reads the pipe, splits access units with libavcodec's H.264 parser and decodes them
// with the same decoder as the reference device, recording every picture's probe colour.
//
// The parser can only tell that an access unit ended when the next one begins, a frame
// interval later. That wait belongs to the parser, not to ffmpeg: a unit is stamped as
// received when its last byte arrived, and as decoded one decoding time after that.
class FfmpegSource {
public:
    // Starts ffmpeg on `displayName` (the whole 1920×1080 screen) at `fps`; pictures go to
    // `log`, which must outlive the source. Throws std::runtime_error when it cannot start.
    FfmpegSource(const std::string& displayName, int fps, double probeX, double probeY,
                 const std::string& errorLog, FrameLog& log);
    ~FfmpegSource();
    FfmpegSource(const FfmpegSource&) = delete;
    FfmpegSource& operator=(const FfmpegSource&) = delete;

    pid_t pid() const { return process_->pid(); }
    bool running() const { return !process_->wait(std::chrono::milliseconds(0)); }
    // Stops ffmpeg and waits for the reader to take the rest of the stream.
    void stop();
    // Access units the decoder refused.
    int decodeErrors() const { return decodeErrors_; }

private:
    void read();

    const double probeX_;
    const double probeY_;
    FrameLog& log_;
    std::unique_ptr<test::ChildProcess> process_;
    std::thread reader_;
    int decodeErrors_ = 0;  // written by the reader, read after stop
};

}  // namespace caldrovex::bench
