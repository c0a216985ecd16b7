#include "protocol/StreamSettings.h"

#include <algorithm>

namespace caldrovex {

namespace {

int64_t bound(std::optional<int64_t> value, int64_t fallback, int64_t low, int64_t high) {
    return value ? std::clamp(*value, low, high) : fallback;
}

}  // namespace

StreamSettings StreamSettings::bounded(std::optional<int64_t> fps, std::optional<int64_t> maxWidth,
                                       std::optional<int64_t> bitrate) {
    StreamSettings settings;
    settings.fps = bound(fps, kDefaultFps, kMinFps, kMaxFps);
    settings.maxWidth = bound(maxWidth, kDefaultMaxWidth, kMinMaxWidth, kMaxMaxWidth);
    settings.bitrate = bound(bitrate, kDefaultBitrate, kMinBitrate, kMaxBitrate);
    return settings;
}

}  // namespace caldrovex
