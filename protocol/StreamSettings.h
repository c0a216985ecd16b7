#pragma once

#include <cstdint>
#include <optional>

namespace caldrovex {

// How one screen stream is sent: frames per second, the widest picture, and the most bits per
// second. A device asks for these in its "stream" message; the host bounds them, the screen
// streamer captures at that rate and width, and the pipeline hands the rate and the bitrate
// to the pacer and the encoder. A plain value; all in one integer type, as the message
// carries them.
//
// The bitrate is a ceiling: the pacer aims below it when the path carries less. How far it
// may go down is set by the two floors at the end, which are the stream's own, not the
// device's to choose.
struct StreamSettings {
    // What a request that leaves a setting out gets: a smooth pointer, a full-HD picture, and
    // a bitrate that keeps text on such a picture sharp while Wi-Fi and most VPNs carry it.
    static constexpr int64_t kDefaultFps = 30;
    static constexpr int64_t kDefaultMaxWidth = 1920;
    static constexpr int64_t kDefaultBitrate = 6'000'000;

    // Bounds of a request; a value outside is clamped to the nearer one.
    // Under 10 frames a second the pointer visibly trails the hand that moves it; over 60 the
    // capture and encoding cost keeps growing for little a remote viewer can see.
    static constexpr int64_t kMinFps = 10;
    static constexpr int64_t kMaxFps = 60;
    // Narrower than 960 pixels a desktop's text is no longer readable; 3840 is a 4K display's
    // full width, the largest picture the encoder is asked to make.
    static constexpr int64_t kMinMaxWidth = 960;
    static constexpr int64_t kMaxMaxWidth = 3840;
    // A device cannot cap the stream under 1 Mbit/s, where a full-screen change takes seconds
    // to turn sharp, nor raise it over 24 Mbit/s, more than a 4K desktop at 60 frames needs
    // and more than most paths carry.
    static constexpr int64_t kMinBitrate = 1'000'000;
    static constexpr int64_t kMaxBitrate = 24'000'000;

    // The pacer's lowest target when the path is slow (unless the ceiling itself is lower):
    // under it the picture turns to mush, so frames are dropped rather than starved of bits.
    static constexpr int64_t kPacerFloorBitrate = 400'000;
    // No encoder is ever aimed lower, whatever it is told: a rate model without a rate would
    // leave the stream uncapped, and one readable frame beats several unreadable ones.
    static constexpr int64_t kEncoderFloorBitrate = 100'000;

    int64_t fps = kDefaultFps;
    // Pixels; a wider display is scaled down to it.
    int64_t maxWidth = kDefaultMaxWidth;
    // The ceiling, bits per second.
    int64_t bitrate = kDefaultBitrate;

    // A request's settings: each absent value takes its default, each present one is clamped
    // to its bounds.
    static StreamSettings bounded(std::optional<int64_t> fps, std::optional<int64_t> maxWidth,
                                  std::optional<int64_t> bitrate);

    bool operator==(const StreamSettings&) const = default;
};

}  // namespace caldrovex
