#pragma once

#include <string>
#include <utility>
#include <vector>

#include "pacer_sim/SenderLoop.h"

namespace caldrovex::bench {

struct Scenario {
    std::string name;
    double capacity;   // bit/s at the start
    double roundTrip;  // seconds of propagation, both ways
    double jitterMax = 0;
    std::vector<std::pair<double, double>> capacityChanges;  // (time, bit/s)
};

// What one run of a scenario under one regime measured.
struct RunResult {
    std::string scenario;
    Regime regime;
    double utilization = 0;  // delivered video bits / bits the link could carry
    double deliveredFps = 0;
    double delayMedianMs = 0;  // one-way frame delay minus propagation
    double delayP95Ms = 0;
    double targetMedian = 0;               // bit/s
    std::vector<double> settleAfterSteps;  // seconds per capacity change, <0 if never

    // Time series for the plot, in 0.25 s bins.
    std::vector<double> binTime;
    std::vector<double> binTarget;    // bit/s at the end of the bin
    std::vector<double> binGoodput;   // bit/s delivered in the bin
    std::vector<double> binCapacity;  // bit/s
    std::vector<double>
        binDelayP95;  // ms, queueing delay of frames arriving in the bin (NaN if none)
};

constexpr double kDuration = 60;
constexpr double kBin = 0.25;

RunResult runScenario(const Scenario& scenario, Regime regime, uint64_t seed);

}  // namespace caldrovex::bench
