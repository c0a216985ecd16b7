#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "support/FakeVideoSink.h"
#include "support/H264TestDecoder.h"
#include "video/EncodedFrame.h"

namespace caldrovex::test {

// Decodes what a pipeline sent to a FakeVideoSink the way a device does ("videoConfig"
// parameter sets, then frames), so that a test can look at the pictures a device would see.
class DecodedStream {
public:
    using Picture = H264TestDecoder::Picture;
    using Wanted = std::function<bool(const Picture&)>;

    explicit DecodedStream(std::shared_ptr<FakeVideoSink> sink) : sink_(std::move(sink)) {}

    // Decodes everything sent since the last call, without waiting; true when one of those
    // pictures satisfied `wanted`.
    bool decodeSent(const Wanted& wanted);

    // Decodes what was and will be sent until a picture satisfies `wanted`; false when none
    // did within `seconds`.
    bool waitFor(const Wanted& wanted, double seconds);

    // The latest picture decoded, if any.
    const std::optional<Picture>& latest() const { return latest_; }

    // The luma at (x, y) of a picture.
    static int luma(const Picture& picture, int x, int y) {
        return picture.luma[static_cast<size_t>(y) * picture.width + x];
    }

private:
    std::shared_ptr<FakeVideoSink> sink_;
    H264TestDecoder decoder_;
    std::optional<EncodedFrame::ParameterSets> parameterSets_;
    size_t decoded_ = 0;  // items of sink_->sent() already fed to the decoder
    std::optional<Picture> latest_;
};

}  // namespace caldrovex::test
