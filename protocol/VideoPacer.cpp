// The video pacer is the congestion controller of one screen-sharing stream. A screen
// stream is bursty and latency-bound: a user is watching their own pointer move, so a frame
// that waits in a queue somewhere on the path is worse than a frame that is never encoded.
// The pacer therefore does two things. It holds frames back before they are encoded (credit),
// so that a slow path makes the pipeline drop stale screen states instead of queueing them,
// and it tells the encoder which bitrate fits the path (target), so that the frames that do
// go out are small enough to arrive quickly.
//
// When the device acknowledges frames, the pacer measures the path the way delivery-rate /
// minimum-round-trip controllers do: every acknowledged frame yields a round-trip sample and
// a delivery-rate sample (bytes delivered between its send and its acknowledgement, over the
// time that took). The windowed maximum of the rates is the estimate of what the path can
// carry; the windowed minimum of the round trips is the path delay, the round trip with no
// queue. A mode machine probes for more: startup doubles the rate until it stops growing,
// drain runs at half rate so the queue startup built can empty, cruise cycles a small gain
// table (a short probe above the estimate, a short dip below it, then steady) and now and
// then drains again so that the path delay is re-measured with an empty queue. Separately, a
// standing queue (the six latest frames all slower than path delay plus one frame's
// transmission plus some slack) cuts the estimate to what was actually delivered and drains.
// Credit is bounded twice: by a window of frames covering two path delays, and by a byte
// budget of about two path delays of the estimated rate, so a burst of large key frames
// cannot pile up in the socket buffers.
//
// Without acknowledgements there is nothing to measure: the pacer lets one frame be
// outstanding at a time (until the network layer has taken it) and asks for the maximum
// bitrate.

#include "protocol/VideoPacer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "platform/Clock.h"
#include "protocol/StreamSettings.h"

namespace caldrovex {

namespace {

// --- Tunables -------------------------------------------------------------------------------

// The encoder starts at 30 fps until configure says otherwise; a common screen-stream rate.
constexpr double kInitialFrameInterval = 1.0 / StreamSettings::kDefaultFps;
// Upper clamp before configure: the stream's default ceiling.
constexpr int64_t kInitialMaxBitrate = StreamSettings::kDefaultBitrate;
// Never aim lower, unless the maximum itself is lower (the reason is with the constant).
constexpr int64_t kMinimumBitrate = StreamSettings::kPacerFloorBitrate;
// With acknowledgements but no measurement yet, start at a rate almost any path carries.
constexpr int64_t kUnmeasuredBitrate = 1'500'000;
// Assumed path delay before the first round trip: a typical LAN/VPN hop.
constexpr double kDefaultPathDelay = 0.05;

// Frame window: enough frames to cover two path delays, plus two so that encoding and
// sending overlap; at least three so a short path still pipelines, at most sixteen so a long
// one cannot hide seconds of video in flight.
constexpr double kWindowPathDelays = 2.0;
constexpr int64_t kWindowSlackFrames = 2;
constexpr int64_t kWindowMinFrames = 3;
constexpr int64_t kWindowMaxFrames = 16;

// Queue allowance: one and a half frame gaps (frames are not sent evenly), at least 50 ms
// (scheduling jitter on the sender and the device).
constexpr double kAllowanceFrameGaps = 1.5;
constexpr double kAllowanceMinimum = 0.05;

// A frame smaller than half of what the target carries in one frame gap shows the encoder,
// not the path, limited the rate; the gap is capped so a pause does not make every frame
// look small.
constexpr double kAppLimitedShare = 0.5;
constexpr double kAppLimitedMaxGap = 0.1;

// Sample windows: the rate maximum forgets within 3 s so the estimate follows a path that
// got slower; the round-trip minimum keeps 10 s so a short queue does not hide the path
// delay; deliveries feed the frames-per-second figure.
constexpr double kRateWindow = 3.0;
constexpr double kRoundTripWindow = 10.0;
constexpr double kDeliveryWindow = 1.0;
// Six frames (about 200 ms at 30 fps) tell a standing queue from a single slow frame.
constexpr size_t kRecentFrames = 6;

// Floors that keep a sample meaningful: a round trip below a millisecond is clock noise, and
// a rate over less than a millisecond is not a measurement.
constexpr double kMinimumRoundTrip = 0.001;
constexpr double kMinimumRateInterval = 0.001;

// A round trip within 10 % + 2 ms of the path delay counts as "the queue was empty".
constexpr double kRefreshTolerance = 1.1;
constexpr double kRefreshSlack = 0.002;

// Lateness: a second one within 2.5 s means the path itself became slower, not that a queue
// built up; a span under 10 ms is too short to compute a delivery rate from; draining for a
// second empties what the queue holds.
constexpr double kRepeatLatenessWindow = 2.5;
constexpr double kMinimumLateSpan = 0.01;
constexpr double kLateDrainDuration = 1.0;

// Aim 10 % under the measured rate: encoders overshoot the average on busy scenes.
constexpr double kTargetHeadroom = 0.9;

// Mode gains. Startup doubles until the rate stops growing by 25 % for three round trips
// (at least 150 ms each, a frame-rate scale); drain sends at half rate.
constexpr double kStartupGain = 2.0;
constexpr double kStartupGrowth = 1.25;
constexpr double kStartupPatienceRounds = 3.0;
// Leaving startup, drain for a second: long enough to empty what doubling queued.
constexpr double kStartupDrainDuration = 1.0;
constexpr double kDrainGain = 0.5;
constexpr double kMinimumRound = 0.15;
// Drain ends early once the newest round trip is within half a queue allowance of empty.
constexpr double kDrainExitAllowanceShare = 0.5;

// Cruise: probe 25 % above for one round, dip 20 % below for one round to drain what the
// probe queued, then four steady rounds.
constexpr std::array<double, 6> kCruiseGains = {1.25, 0.8, 1.0, 1.0, 1.0, 1.0};
// Without a round trip near the path delay for 8 s, drain for two path delays (at least
// 300 ms) to see the empty-queue round trip again.
constexpr double kPathRefreshInterval = 8.0;
constexpr double kRemeasurePathDelays = 2.0;
constexpr double kRemeasureMinimum = 0.3;

// --------------------------------------------------------------------------------------------

constexpr int64_t kBitsPerByte = 8;

// Seconds a frame of `bytes` takes at `rate` bytes per second. A zero rate estimate (only
// possible when every delivered frame was empty) would make this infinite or not a number;
// it then counts as no transmission time at all, so lateness and drain still compare
// finite values.
double transmissionTime(int64_t bytes, double rate) {
    return rate > 0 ? static_cast<double>(bytes) / rate : 0.0;
}

// Converts a non-negative bit or byte rate to an integer without the undefined behaviour
// of converting a value beyond int64_t's range.
int64_t truncateToInt64(double value) {
    constexpr double limit = 9.2e18;  // just below 2^63
    if (!(value < limit)) return std::numeric_limits<int64_t>::max();
    if (!(value > -limit)) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

}  // namespace

VideoPacer::ClockFunction VideoPacer::defaultClock() {
    return [clock = platform::SystemClock::shared()] { return clock->monotonic(); };
}

VideoPacer::VideoPacer(ClockFunction clock)
    : clock_(clock ? std::move(clock) : defaultClock()),
      frameInterval_(kInitialFrameInterval),
      maxBitrate_(kInitialMaxBitrate),
      minBitrate_(kMinimumBitrate),
      target_(kInitialMaxBitrate) {}

// --- Operations -----------------------------------------------------------------------------

void VideoPacer::configure(bool acknowledgedRegime, int64_t fps, int64_t maximum) {
    std::unique_lock guard(lock_);
    acknowledged_ = acknowledgedRegime;
    frameInterval_ = 1.0 / static_cast<double>(std::max<int64_t>(fps, 1));
    maxBitrate_ = std::max<int64_t>(maximum, 1);
    minBitrate_ = std::min(maxBitrate_, kMinimumBitrate);
    if (acknowledged_) {
        updateTarget(clock_());
    } else {
        target_ = maxBitrate_;
    }
    auto callback = bitrateCallback_;
    const int64_t value = target_;
    guard.unlock();
    if (callback) callback(value);
}

bool VideoPacer::tryReserve() {
    std::lock_guard guard(lock_);
    if (!acknowledged_) {
        if (reserved_ >= 1) return false;
        reserved_ += 1;
        return true;
    }
    // The first frame is never held back: with nothing reserved there is nothing to wait on.
    if (reserved_ == 0) {
        reserved_ = 1;
        return true;
    }
    if (reserved_ >= frameWindow()) return false;
    if (rateEstimate_) {
        const int64_t unsent =
            std::max<int64_t>(reserved_ - static_cast<int64_t>(flights_.size()), 0);
        const double projected =
            static_cast<double>(bytesInFlight_) + static_cast<double>(unsent * typicalFrameBytes_);
        const double budget = *rateEstimate_ * (kWindowPathDelays * pathDelay() + queueAllowance());
        if (budget < projected) return false;
    }
    reserved_ += 1;
    return true;
}

void VideoPacer::releaseReservation() {
    std::unique_lock guard(lock_);
    reserved_ = std::max<int64_t>(reserved_ - 1, 0);
    auto callback = creditCallback_;
    guard.unlock();
    if (callback) callback();
}

void VideoPacer::didSend(int64_t bytes, bool keyframe) {
    std::lock_guard guard(lock_);
    const double now = clock_();
    if (flights_.empty()) {
        // A new burst starts from an idle pipe: its rate is measured from now, not from the
        // last acknowledgement before the pause.
        deliveredTime_ = now;
        firstSentTime_ = now;
    }
    // lastSend starts at minus infinity, so the first gap is simply capped.
    const double gap = std::min(std::max(frameInterval_, now - lastSend_), kAppLimitedMaxGap);
    const double allowance = static_cast<double>(target_) / kBitsPerByte * gap * kAppLimitedShare;
    const bool appLimited = !keyframe && allowance > static_cast<double>(bytes);
    flights_.push_back(
        Flight{now, bytes, keyframe, delivered_, deliveredTime_, firstSentTime_, appLimited});
    bytesInFlight_ += bytes;
    sentTotal_ += 1;
    lastSend_ = now;
    // Key frames are outliers many times a normal frame; they would skew the typical size.
    if (!keyframe) {
        typicalFrameBytes_ = typicalFrameBytes_ == 0 ? bytes : (3 * typicalFrameBytes_ + bytes) / 4;
    }
}

void VideoPacer::didComplete() {
    std::unique_lock guard(lock_);
    if (acknowledged_) return;
    if (!flights_.empty()) {
        bytesInFlight_ -= flights_.front().bytes;
        flights_.pop_front();
    }
    reserved_ = std::max<int64_t>(reserved_ - 1, 0);
    const double now = clock_();
    deliveries_.push_back(now);
    pruneTimes(deliveries_, now, kDeliveryWindow);
    auto callback = creditCallback_;
    guard.unlock();
    if (callback) callback();
}

bool VideoPacer::acknowledge(int64_t total) {
    std::unique_lock guard(lock_);
    if (!acknowledged_ || total < acknowledgedTotal_ || total > sentTotal_) return false;
    const double now = clock_();
    const int64_t previousTarget = target_;
    while (acknowledgedTotal_ < total) {
        if (flights_.empty()) {
            // Frames completed before the regime became acknowledged are no longer tracked.
            acknowledgedTotal_ = total;
            break;
        }
        const Flight flight = flights_.front();
        flights_.pop_front();
        acknowledgedTotal_ += 1;
        reserved_ = std::max<int64_t>(reserved_ - 1, 0);
        delivered_ += flight.bytes;
        deliveredTime_ = now;
        bytesInFlight_ -= flight.bytes;
        record(flight, now);
        firstSentTime_ = flight.sent;
    }
    checkLateness(now);
    updateTarget(now);
    auto credit = creditCallback_;
    std::function<void(int64_t)> bitrate;
    if (target_ != previousTarget) bitrate = bitrateCallback_;
    const int64_t value = target_;
    guard.unlock();
    if (credit) credit();
    if (bitrate) bitrate(value);
    return true;
}

VideoPacer::Stats VideoPacer::stats() {
    std::lock_guard guard(lock_);
    const double now = clock_();
    Stats result;
    result.bitrate = target_;
    result.fps = std::count_if(deliveries_.begin(), deliveries_.end(),
                               [now](double time) { return now - time <= kDeliveryWindow; });
    if (!roundTripSamples_.empty()) {
        result.pathDelayMs = truncateToInt64(std::round(pathDelay() * 1000.0));
    }
    if (!recent_.empty()) {
        double sum = 0;
        for (const auto& frame : recent_) sum += frame.roundTrip;
        result.roundTripMs =
            truncateToInt64(std::round(sum / static_cast<double>(recent_.size()) * 1000.0));
    }
    if (rateEstimate_) result.deliveryRate = truncateToInt64(*rateEstimate_ * kBitsPerByte);
    return result;
}

void VideoPacer::setCreditCallback(std::function<void()> callback) {
    std::function<void()> old;
    {
        std::lock_guard guard(lock_);
        old = std::exchange(creditCallback_, std::move(callback));
    }
    // `old` is destroyed here, outside the lock: its captures may own anything.
}

void VideoPacer::setBitrateCallback(std::function<void(int64_t)> callback) {
    std::function<void(int64_t)> old;
    {
        std::lock_guard guard(lock_);
        old = std::exchange(bitrateCallback_, std::move(callback));
    }
}

VideoPacer::DebugState VideoPacer::debugState() const {
    std::lock_guard guard(lock_);
    DebugState state;
    state.mode = mode_;
    state.drainUntil = drainUntil_;
    state.cycleIndex = cycleIndex_;
    state.reserved = reserved_;
    state.flights = static_cast<int64_t>(flights_.size());
    state.bytesInFlight = bytesInFlight_;
    state.sentTotal = sentTotal_;
    state.acknowledgedTotal = acknowledgedTotal_;
    state.rateEstimate = rateEstimate_;
    state.pathDelay = pathDelay();
    state.typicalFrameBytes = typicalFrameBytes_;
    state.target = target_;
    state.recent = static_cast<int64_t>(recent_.size());
    return state;
}

// --- Internal steps (lock held) -------------------------------------------------------------

double VideoPacer::pathDelay() const {
    if (roundTripSamples_.empty()) return kDefaultPathDelay;
    double smallest = roundTripSamples_.front().value;
    for (const auto& sample : roundTripSamples_) smallest = std::min(smallest, sample.value);
    return smallest;
}

int64_t VideoPacer::frameWindow() const {
    // Clamped as a double first: a huge path delay over a tiny frame interval must not
    // overflow the conversion.
    const double frames = std::ceil(kWindowPathDelays * pathDelay() / frameInterval_) +
                          static_cast<double>(kWindowSlackFrames);
    return static_cast<int64_t>(std::clamp(frames, static_cast<double>(kWindowMinFrames),
                                           static_cast<double>(kWindowMaxFrames)));
}

double VideoPacer::queueAllowance() const {
    return std::max(kAllowanceFrameGaps * frameInterval_, kAllowanceMinimum);
}

void VideoPacer::record(const Flight& flight, double now) {
    const double roundTrip = std::max(now - flight.sent, kMinimumRoundTrip);
    if (roundTrip <= kRefreshTolerance * pathDelay() + kRefreshSlack) pathRefreshedAt_ = now;
    roundTripSamples_.push_back({now, roundTrip});
    pruneSamples(roundTripSamples_, now, kRoundTripWindow);
    deliveries_.push_back(now);
    pruneTimes(deliveries_, now, kDeliveryWindow);
    if (!flight.keyframe) {
        recent_.push_back({now, roundTrip, flight.bytes});
        if (recent_.size() > kRecentFrames) recent_.pop_front();
    }
    if (flight.appLimited) lastAppLimited_ = now;
    recordRateSample(flight, now);
}

void VideoPacer::recordRateSample(const Flight& flight, double now) {
    // The longer of the acknowledgement interval and the send interval: a burst sent faster
    // than the path carries it must not look like a fast path, nor acknowledgements bunched
    // up by the device.
    const double interval =
        std::max(now - flight.deliveredTimeAtSend, flight.sent - flight.firstSentAtSend);
    if (interval <= kMinimumRateInterval) return;
    const double rate = static_cast<double>(delivered_ - flight.deliveredAtSend) / interval;
    // An application-limited sample understates the path; it may only raise the estimate.
    const bool keep = !flight.appLimited || (rateEstimate_ ? rate > *rateEstimate_ : rate > 0);
    if (keep) rateSamples_.push_back({now, rate});
    pruneSamples(rateSamples_, now, kRateWindow);
    if (!rateSamples_.empty()) {
        double largest = rateSamples_.front().value;
        for (const auto& sample : rateSamples_) largest = std::max(largest, sample.value);
        rateEstimate_ = largest;
    }
    // With every sample aged out the last estimate stays: a pause in the video says nothing
    // about the path.
}

void VideoPacer::checkLateness(double now) {
    if (mode_ == Mode::drain || recent_.size() != kRecentFrames || !rateEstimate_) return;
    double minRecent = recent_.front().roundTrip;
    for (const auto& frame : recent_) minRecent = std::min(minRecent, frame.roundTrip);
    const double threshold =
        pathDelay() + transmissionTime(typicalFrameBytes_, *rateEstimate_) + queueAllowance();
    if (minRecent <= threshold) return;

    if (now - lastLate_ < kRepeatLatenessWindow) {
        // Late again right after draining: the path itself got slower. Re-learn its delay
        // from the latest frames instead of the minimum of the last ten seconds.
        roundTripSamples_.clear();
        for (const auto& frame : recent_)
            roundTripSamples_.push_back({frame.time, frame.roundTrip});
    } else {
        const double span = recent_.back().time - recent_.front().time;
        if (span > kMinimumLateSpan) {
            // What the path actually delivered over the late frames (the oldest one's bytes
            // arrived before the span began).
            int64_t bytes = 0;
            for (size_t i = 1; i < recent_.size(); ++i) bytes += recent_[i].bytes;
            const double recentRate = static_cast<double>(bytes) / span;
            rateEstimate_ = std::min(recentRate, *rateEstimate_);
            rateSamples_.assign(1, Sample{now, *rateEstimate_});
            mode_ = Mode::drain;
            drainUntil_ = now + kLateDrainDuration;
        }
    }
    lastLate_ = now;
    recent_.clear();
}

void VideoPacer::updateTarget(double now) {
    if (!acknowledged_) return;
    if (!rateEstimate_) {
        target_ = std::min(std::max(minBitrate_, kUnmeasuredBitrate), maxBitrate_);
        return;
    }
    const double rate = *rateEstimate_;
    const double gain = gainForMode(rate, now);
    // Clamped as a double before the conversion so an absurd estimate cannot overflow it.
    const double bits =
        std::min(rate * kBitsPerByte * kTargetHeadroom * gain, static_cast<double>(maxBitrate_));
    target_ = std::max(std::min(truncateToInt64(bits), maxBitrate_), minBitrate_);
}

double VideoPacer::gainForMode(double rate, double now) {
    const double floor = std::max(pathDelay(), kMinimumRound);
    switch (mode_) {
        case Mode::drain: {
            const bool queueEmpty =
                !recent_.empty() && recent_.back().roundTrip <=
                                        pathDelay() + transmissionTime(typicalFrameBytes_, rate) +
                                            kDrainExitAllowanceShare * queueAllowance();
            if (now > drainUntil_ || queueEmpty) {
                mode_ = Mode::cruise;
                cycleStart_ = now;
                cycleIndex_ = 0;
            }
            return kDrainGain;
        }
        case Mode::startup:
            if (rate > kStartupGrowth * startupBest_ || now - lastAppLimited_ < floor) {
                startupBest_ = std::max(startupBest_, rate);
                startupBestAt_ = now;
            }
            if (now - startupBestAt_ > kStartupPatienceRounds * floor) {
                mode_ = Mode::drain;
                drainUntil_ = now + kStartupDrainDuration;
            }
            return kStartupGain;
        case Mode::cruise:
            if (now - pathRefreshedAt_ > kPathRefreshInterval) {
                mode_ = Mode::drain;
                drainUntil_ = now + std::max(kRemeasurePathDelays * pathDelay(), kRemeasureMinimum);
                pathRefreshedAt_ = now;
                return kDrainGain;
            }
            if (now - cycleStart_ > floor) {
                cycleIndex_ = (cycleIndex_ + 1) % static_cast<int64_t>(kCruiseGains.size());
                cycleStart_ = now;
            }
            return kCruiseGains[static_cast<size_t>(cycleIndex_)];
    }
    return 1.0;
}

// Entries are appended in time order, so the old ones are all at the front.
void VideoPacer::pruneSamples(std::deque<Sample>& samples, double now, double window) {
    while (!samples.empty() && now - samples.front().time > window) samples.pop_front();
}

void VideoPacer::pruneTimes(std::deque<double>& times, double now, double window) {
    while (!times.empty() && now - times.front() > window) times.pop_front();
}

}  // namespace caldrovex
