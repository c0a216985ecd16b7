#include "latency_bench/LatencyMatch.h"

#include <algorithm>
#include <cmath>

namespace caldrovex::bench {

namespace {

bool shows(const FrameRecord& frame, std::array<uint8_t, 3> colour, std::array<uint8_t, 3> previous,
           int tolerance) {
    const int distance = colourDistance(frame.probe, colour);
    return distance <= tolerance && distance < colourDistance(frame.probe, previous);
}

}  // namespace

MatchResult matchChanges(const std::vector<DrawnChange>& changes,
                         const std::vector<FrameRecord>& frames, int tolerance) {
    MatchResult result;
    size_t next = 0;
    for (size_t i = 0; i < changes.size(); ++i) {
        const DrawnChange& change = changes[i];
        const auto previous = i > 0 ? changes[i - 1].colour : std::array<uint8_t, 3>{128, 128, 128};
        while (next < frames.size() && frames[next].decodedAt <= change.drawnAt) ++next;
        bool found = false;
        for (size_t f = next; f < frames.size(); ++f) {
            if (shows(frames[f], change.colour, previous, tolerance)) {
                result.samples.push_back({i, frames[f].receivedAt - change.drawnAt,
                                          frames[f].decodedAt - change.drawnAt});
                next = f;
                found = true;
                break;
            }
            // The next change made it through first: this one was never shown.
            if (i + 1 < changes.size() && frames[f].decodedAt > changes[i + 1].drawnAt &&
                shows(frames[f], changes[i + 1].colour, change.colour, tolerance)) {
                break;
            }
        }
        if (!found) ++result.missed;
    }
    return result;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

}  // namespace caldrovex::bench
