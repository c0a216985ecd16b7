#include "support/DecodedStream.h"

#include <chrono>
#include <stdexcept>

namespace caldrovex::test {

bool DecodedStream::decodeSent(const Wanted& wanted) {
    auto sent = sink_->sent();
    bool seen = false;
    for (; decoded_ < sent.size(); ++decoded_) {
        const auto& item = sent[decoded_];
        if (item.control) {
            if (item.control->type != "videoConfig" || !item.control->sps || !item.control->pps) {
                throw std::runtime_error("unexpected control message " + item.control->type);
            }
            parameterSets_ = EncodedFrame::ParameterSets{*item.control->sps, *item.control->pps};
            continue;
        }
        EncodedFrame frame{item.frame, item.keyframe,
                           item.keyframe ? parameterSets_ : std::nullopt};
        for (auto& picture : decoder_.decode(frame)) {
            seen = seen || wanted(picture);
            latest_ = std::move(picture);
        }
    }
    return seen;
}

bool DecodedStream::waitFor(const Wanted& wanted, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!decodeSent(wanted)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        sink_->waitForFrames(sink_->frames() + 1, 0.5);
    }
    return true;
}

}  // namespace caldrovex::test
