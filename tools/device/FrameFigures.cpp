#include "tools/device/FrameFigures.h"

#include <nlohmann/json.hpp>

namespace caldrovex::device {

std::string FrameFigures::second(double seconds) {
    nlohmann::ordered_json line;
    line["event"] = "second";
    line["frames"] = frames;
    line["kbps"] = seconds > 0 ? static_cast<double>(bytes) * 8 / 1000 / seconds : 0.0;
    line["targetBitrate"] = targetBitrate ? nlohmann::json(*targetBitrate) : nlohmann::json();
    line["fps"] = hostFps ? nlohmann::json(*hostFps) : nlohmann::json();
    frames = 0;
    bytes = 0;
    return line.dump();
}

}  // namespace caldrovex::device
