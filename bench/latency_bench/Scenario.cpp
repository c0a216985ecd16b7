#include "latency_bench/Scenario.h"

namespace caldrovex::bench {

const std::vector<Scenario>& Scenario::all() {
    static const std::vector<Scenario> scenarios = [] {
        std::vector<Scenario> list;
        // The bench's first setting: a local change (a button, a few words) at random times, so
        // that changes never lock to a capture tick; the pointer out of the way.
        Scenario probe;
        probe.name = "probe";
        probe.description = "200x200 at (0.25,0.25), every 0.3-0.5 s at random, pointer parked";
        probe.centreX = probe.probeX = 0.25;
        probe.centreY = probe.probeY = 0.25;
        probe.side = 200;
        list.push_back(probe);

        // An independent measurement's setting: a larger square in the middle of the screen,
        // on a fixed 150 ms period, the pointer left where the X server put it (over the
        // square). The receiver reads the square's upper-left quarter, clear of the pointer.
        Scenario square;
        square.name = "square";
        square.description = "256x256 in the middle, every 150 ms, pointer over it";
        square.side = 256;
        square.probeX = 0.5 - 64.0 / 1920;
        square.probeY = 0.5 - 64.0 / 1080;
        square.minGap = square.maxGap = 0.15;
        square.pointerInMiddle = true;
        list.push_back(square);

        // Typing: a character-cell-sized change at a typist's pace; each change also puts a
        // mark at the next place along a line of text elsewhere on the screen.
        Scenario typing;
        typing.name = "typing";
        typing.description = "24x24 cell and a glyph along a line, every 0.1-0.2 s";
        typing.centreX = typing.probeX = 0.7;
        typing.centreY = typing.probeY = 0.3;
        typing.side = 24;
        typing.minGap = 0.1;
        typing.maxGap = 0.2;
        typing.typing = true;
        list.push_back(typing);
        return list;
    }();
    return scenarios;
}

std::optional<Scenario> Scenario::named(const std::string& name) {
    for (const Scenario& scenario : all()) {
        if (scenario.name == name) return scenario;
    }
    std::optional<Scenario> variant = named("square");
    if (name == "square-parked") {
        variant->description = "256x256 in the middle, every 150 ms, pointer parked";
        variant->pointerInMiddle = false;
    } else if (name == "square-random") {
        variant->description = "256x256 in the middle, every 0.1-0.2 s at random, pointer over it";
        variant->minGap = 0.1;
        variant->maxGap = 0.2;
    } else {
        return std::nullopt;
    }
    variant->name = name;
    return variant;
}

}  // namespace caldrovex::bench
