#include "pacer_sim/Scenario.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/SimulatedLink.h"

namespace caldrovex::bench {
namespace {

struct Arrival {
    double time;
    double queueing;  // seconds of one-way delay beyond propagation
    size_t bytes;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return std::nan("");
    std::sort(values.begin(), values.end());
    double rank = p * (values.size() - 1);
    size_t low = static_cast<size_t>(std::floor(rank));
    size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (rank - low);
}

double capacityIntegral(const test::SimulatedLink& link, double from, double to) {
    double total = 0;
    const double step = 0.01;
    for (double t = from; t < to; t += step) total += link.capacityAt(t) * std::min(step, to - t);
    return total;
}

// Seconds after `change` until every 1 s window ending before `until` has a p95 queueing
// delay under 100 ms (a window without any arrival counts as over); -1 if it never settles.
double settleTime(const std::vector<Arrival>& arrivals, double change, double until) {
    double lastBad = change;
    bool anyBad = false;
    for (double end = change + 0.1; end <= until + 1e-9; end += 0.1) {
        std::vector<double> window;
        for (const auto& a : arrivals) {
            if (a.time > end - 1 && a.time <= end) window.push_back(a.queueing);
        }
        if (window.empty() || percentile(window, 0.95) >= 0.100) {
            lastBad = end;
            anyBad = true;
        }
    }
    if (anyBad && lastBad >= until - 0.1) return -1;
    return anyBad ? lastBad - change : 0;
}

}  // namespace

RunResult runScenario(const Scenario& scenario, Regime regime, uint64_t seed) {
    auto queue = std::make_shared<platform::ManualQueue>("caldrovex.sim");
    test::SimulatedLink::Config linkConfig;
    linkConfig.capacityBitsPerSecond = scenario.capacity;
    linkConfig.oneWayDelay = scenario.roundTrip / 2;
    linkConfig.jitterMax = scenario.jitterMax;
    linkConfig.seed = seed;
    linkConfig.capacityChanges = scenario.capacityChanges;
    auto link = test::SimulatedLink::make(queue, linkConfig);

    auto sender = PacketConnection::make(link->endA(), queue, queue);
    auto receiver = PacketConnection::make(link->endB(), queue, queue);
    receiver->acknowledgesVideo = regime == Regime::acknowledged;
    std::vector<Arrival> arrivals;
    double propagation = linkConfig.oneWayDelay;
    receiver->onVideo = [&](PacketConnection::Bytes body) {
        double sent = 0;
        std::memcpy(&sent, body.data() + 1 + 8, sizeof sent);
        double now = queue->monotonic();
        arrivals.push_back({now, now - sent - propagation, body.size()});
    };
    sender->start();
    receiver->start();

    SenderLoop::Config loopConfig;
    loopConfig.regime = regime;
    loopConfig.seed = seed;
    auto loop = std::make_shared<SenderLoop>(queue, sender, loopConfig);
    loop->start();

    RunResult result;
    result.scenario = scenario.name;
    result.regime = regime;
    std::vector<double> targets;
    for (double t = kBin; t <= kDuration + 1e-9; t += kBin) {
        queue->advance(kBin);
        targets.push_back(static_cast<double>(loop->target()));
        result.binTime.push_back(t);
        result.binTarget.push_back(targets.back());
        result.binCapacity.push_back(link->capacityAt(t - kBin / 2));
    }
    receiver->onVideo = nullptr;
    sender->cancel();
    receiver->cancel();
    queue->advance(1);

    std::vector<double> delays;
    double bits = 0;
    result.binGoodput.assign(result.binTime.size(), 0);
    std::vector<std::vector<double>> binDelays(result.binTime.size());
    for (const auto& a : arrivals) {
        if (a.time > kDuration) continue;
        delays.push_back(a.queueing);
        bits += a.bytes * 8.0;
        size_t bin = std::min(static_cast<size_t>(a.time / kBin), result.binTime.size() - 1);
        result.binGoodput[bin] += a.bytes * 8.0 / kBin;
        binDelays[bin].push_back(a.queueing * 1000);
    }
    for (auto& d : binDelays) result.binDelayP95.push_back(percentile(d, 0.95));
    result.utilization = bits / capacityIntegral(*link, 0, kDuration);
    result.deliveredFps = delays.size() / kDuration;
    result.delayMedianMs = percentile(delays, 0.5) * 1000;
    result.delayP95Ms = percentile(delays, 0.95) * 1000;
    result.targetMedian = percentile(targets, 0.5);
    for (size_t i = 0; i < scenario.capacityChanges.size(); ++i) {
        double change = scenario.capacityChanges[i].first;
        double until = i + 1 < scenario.capacityChanges.size()
                           ? scenario.capacityChanges[i + 1].first
                           : kDuration;
        result.settleAfterSteps.push_back(settleTime(arrivals, change, until));
    }
    return result;
}

}  // namespace caldrovex::bench
