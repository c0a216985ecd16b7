#pragma once

#include <string>
#include <vector>

#include "pacer_sim/Scenario.h"

namespace caldrovex::bench {

// Draws one scenario's runs as a PNG: bitrates against time above (link capacity, each
// regime's target dashed and goodput solid), queueing delay p95 per bin below. Needs a
// QGuiApplication (the offscreen platform is enough).
bool plotScenario(const std::string& path, const std::string& title,
                  const std::vector<RunResult>& runs);

}  // namespace caldrovex::bench
