// DRAFT placeholder until the streamer lands; replaced at merge.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/RemoteDisplay.h"
#include "video/TimeoutHelper.h"
#include "video/VideoPipeline.h"

namespace caldrovex {

class ScreenStreamer {
public:
    virtual ~ScreenStreamer() = default;
    virtual void displays(std::function<void(TimeoutOutcome<std::vector<RemoteDisplay>>)> completion) = 0;
    virtual void start(std::optional<uint32_t> displayID, int maxWidth, int fps,
                       std::function<void(TimeoutOutcome<RemoteDisplay>)> completion) = 0;
    virtual void stop(std::function<void()> completion) = 0;
    virtual void retire() = 0;
    virtual void setErrorCallback(std::function<void(const std::string&, int64_t)> callback) = 0;
    virtual bool reportIsCurrent(int64_t generation) = 0;
    virtual std::shared_ptr<VideoPipeline> pipeline() const = 0;
};

}  // namespace caldrovex
