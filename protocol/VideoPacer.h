#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>

namespace caldrovex {

// Congestion controller of one video stream: decides, frame by frame, whether the sender may
// hand one more encoded frame to the connection, and which bitrate the encoder should aim at.
//
// Contract:
// - One pacer per PacketConnection, owned through std::shared_ptr and shared with the video
//   pipeline while it is attached. It holds no reference to either of them.
// - The connection calls didSend, didComplete and acknowledge on its own serial queue (and
//   from the network layer's completion); the pipeline calls configure, tryReserve and
//   releaseReservation on its queue; the host controller calls stats on the main queue. Any
//   thread may call any method: one mutex guards every field.
// - Callbacks are copied out under the lock and run after it is released, on the calling
//   thread, so a callback may call back into the pacer. A callback must not destroy the
//   pacer's last owner while it runs. Setting a callback to an empty function clears it.
// - Every unit of credit granted by tryReserve is given back exactly once: by didComplete
//   (unacknowledged regime), by acknowledge (acknowledged regime) or by releaseReservation
//   (a frame that will not be sent).
// - Times are seconds from the injected clock; sizes are bytes; bitrates bits per second.
class VideoPacer {
public:
    // A clock returning monotonic seconds; the default reads the machine's steady clock.
    using ClockFunction = std::function<double()>;

    struct Stats {
        int64_t bitrate = 0;                  // the current target, bits per second
        int64_t fps = 0;                      // frame deliveries during the last second
        std::optional<int64_t> pathDelayMs;   // smallest round trip of the last 10 s
        std::optional<int64_t> roundTripMs;   // mean round trip of the latest frames
        std::optional<int64_t> deliveryRate;  // windowed maximum delivery rate, bits/s
    };

    enum class Mode { drain, startup, cruise };

    // A copy of the controller's state for tests and benchmarks.
    struct DebugState {
        Mode mode = Mode::startup;
        double drainUntil = 0;  // meaningful only in Mode::drain
        int64_t cycleIndex = 0;
        int64_t reserved = 0;
        int64_t flights = 0;  // number of frames in flight
        int64_t bytesInFlight = 0;
        int64_t sentTotal = 0;
        int64_t acknowledgedTotal = 0;
        std::optional<double> rateEstimate;  // bytes per second
        double pathDelay = 0;                // seconds
        int64_t typicalFrameBytes = 0;
        int64_t target = 0;  // bits per second
        int64_t recent = 0;  // number of entries in the recent window
    };

    explicit VideoPacer(ClockFunction clock = defaultClock());

    VideoPacer(const VideoPacer&) = delete;
    VideoPacer& operator=(const VideoPacer&) = delete;

    // Sets the regime and limits when a pipeline attaches; measurements survive. Always
    // reports the resulting target through the bitrate callback.
    void configure(bool acknowledged, int64_t fps, int64_t maxBitrate);

    // True grants one frame of credit; false means wait for the credit callback.
    bool tryReserve();

    // Gives back one unit of credit for a frame that will not be sent.
    void releaseReservation();

    // The connection hands a video packet body of `bytes` to the network.
    void didSend(int64_t bytes, bool keyframe);

    // The network layer processed a video write (meaningful only when unacknowledged).
    void didComplete();

    // The device's cumulative count of frames received. Returns whether it was accepted.
    bool acknowledge(int64_t total);

    Stats stats();

    void setCreditCallback(std::function<void()> callback);
    void setBitrateCallback(std::function<void(int64_t)> callback);

    DebugState debugState() const;

    static ClockFunction defaultClock();

private:
    struct Flight {
        double sent;
        int64_t bytes;
        bool keyframe;
        int64_t deliveredAtSend;
        double deliveredTimeAtSend;
        double firstSentAtSend;
        bool appLimited;
    };

    struct Sample {
        double time;
        double value;
    };

    struct RecentFrame {
        double time;
        double roundTrip;
        int64_t bytes;
    };

    static constexpr double kNever = -std::numeric_limits<double>::infinity();

    // Internal steps; each runs with `lock_` held.
    double pathDelay() const;
    int64_t frameWindow() const;
    double queueAllowance() const;
    void record(const Flight& flight, double now);
    void recordRateSample(const Flight& flight, double now);
    void checkLateness(double now);
    void updateTarget(double now);
    double gainForMode(double rate, double now);
    static void pruneSamples(std::deque<Sample>& samples, double now, double window);
    static void pruneTimes(std::deque<double>& times, double now, double window);

    mutable std::mutex lock_;
    ClockFunction clock_;
    bool acknowledged_ = false;
    int64_t reserved_ = 0;
    std::deque<Flight> flights_;
    int64_t bytesInFlight_ = 0;
    int64_t sentTotal_ = 0;
    int64_t acknowledgedTotal_ = 0;
    int64_t delivered_ = 0;
    double deliveredTime_ = 0;
    double firstSentTime_ = 0;
    double pathRefreshedAt_ = 0;
    double lastSend_ = kNever;
    int64_t typicalFrameBytes_ = 0;
    std::deque<Sample> rateSamples_;
    std::optional<double> rateEstimate_;
    std::deque<Sample> roundTripSamples_;
    std::deque<RecentFrame> recent_;
    double lastLate_ = kNever;
    std::deque<double> deliveries_;
    Mode mode_ = Mode::startup;
    double drainUntil_ = 0;
    double startupBest_ = 0;
    double startupBestAt_ = 0;
    double lastAppLimited_ = kNever;
    int64_t cycleIndex_ = 0;
    double cycleStart_ = 0;
    // Set by the constructor from the tunables in VideoPacer.cpp.
    double frameInterval_;
    int64_t maxBitrate_;
    int64_t minBitrate_;
    int64_t target_;
    std::function<void()> creditCallback_;
    std::function<void(int64_t)> bitrateCallback_;
};

}  // namespace caldrovex
