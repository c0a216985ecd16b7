#pragma once

#include <optional>
#include <string>
#include <vector>

namespace caldrovex::bench {

// What changes on the screen in one kind of run, and how the receiver looks at it. Positions
// are fractions of the screen's width and height.
struct Scenario {
    std::string name;
    std::string description;
    // The square filled with a new colour at each change: its centre and side in pixels.
    double centreX = 0.5;
    double centreY = 0.5;
    int side = 200;
    // Where the receiver reads the colour: inside the square, away from the pointer.
    double probeX = 0.5;
    double probeY = 0.5;
    // Seconds between changes, drawn uniformly from [minGap, maxGap] (equal: a fixed period).
    double minGap = 0.3;
    double maxGap = 0.5;
    // The pointer stays where the X server put it (the middle of the screen); otherwise it is
    // parked in the bottom-right corner.
    bool pointerInMiddle = false;
    // Each change also draws one more character-sized mark along a line of text, away from
    // the square, as typing would.
    bool typing = false;

    double meanGap() const { return (minGap + maxGap) / 2; }

    // The scenarios the bench runs unless told otherwise, in the order they run.
    static const std::vector<Scenario>& all();
    // Those, and variants of "square" that each change one of its conditions, to see which
    // of them matters: "square-parked" (pointer in the corner), "square-random" (random
    // intervals of 0.1-0.2 s instead of a fixed period).
    static std::optional<Scenario> named(const std::string& name);
};

}  // namespace caldrovex::bench
