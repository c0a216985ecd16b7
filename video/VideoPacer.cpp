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

#include "video/VideoPacer.h"

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
constexpr double initialFrameInterval = 1.0 / StreamSettings::kDefaultFps;
// Upper clamp before configure: the stream's default ceiling.
constexpr int64_t initialMaxBitrate = StreamSettings::kDefaultBitrate;
// Never aim lower, unless the maximum itself is lower (the reason is with the constant).
constexpr int64_t minimumBitrate = StreamSettings::kPacerFloorBitrate;
// With acknowledgements but no measurement yet, start at a rate almost any path carries.
constexpr int64_t unmeasuredBitrate = 1'500'000;
// Assumed path delay before the first round trip: a typical LAN/VPN hop.
constexpr double defaultPathDelay = 0.05;

// Frame window: enough frames to cover two path delays, plus two so that encoding and
// sending overlap; at least three so a short path still pipelines, at most sixteen so a long
// one cannot hide seconds of video in flight.
constexpr double windowPathDelays = 2.0;
constexpr int64_t windowSlackFrames = 2;
constexpr int64_t windowMinFrames = 3;
constexpr int64_t windowMaxFrames = 16;

// Queue allowance: one and a half frame gaps (frames are not sent evenly), at least 50 ms
// (scheduling jitter on the sender and the device).
constexpr double allowanceFrameGaps = 1.5;
constexpr double allowanceMinimum = 0.05;

// A frame smaller than half of what the target carries in one frame gap shows the encoder,
// not the path, limited the rate; the gap is capped so a pause does not make every frame
// look small.
constexpr double appLimitedShare = 0.5;
constexpr double appLimitedMaxGap = 0.1;

// Sample windows: the rate maximum forgets within 3 s so the estimate follows a path that
// got slower; the round-trip minimum keeps 10 s so a short queue does not hide the path
// delay; deliveries feed the frames-per-second figure.
constexpr double rateWindow = 3.0;
constexpr double roundTripWindow = 10.0;
constexpr double deliveryWindow = 1.0;
// Six frames (about 200 ms at 30 fps) tell a standing queue from a single slow frame.
constexpr size_t recentFrames = 6;

// Floors that keep a sample meaningful: a round trip below a millisecond is clock noise, and
// a rate over less than a millisecond is not a measurement.
constexpr double minimumRoundTrip = 0.001;
constexpr double minimumRateInterval = 0.001;

// A round trip within 10 % + 2 ms of the path delay counts as "the queue was empty".
constexpr double refreshTolerance = 1.1;
constexpr double refreshSlack = 0.002;

// Lateness: a second one within 2.5 s means the path itself became slower, not that a queue
// built up; a span under 10 ms is too short to compute a delivery rate from; draining for a
// second empties what the queue holds.
constexpr double repeatLatenessWindow = 2.5;
constexpr double minimumLateSpan = 0.01;
constexpr double lateDrainDuration = 1.0;

// Aim 10 % under the measured rate: encoders overshoot the average on busy scenes.
constexpr double targetHeadroom = 0.9;

// Mode gains. Startup doubles until the rate stops growing by 25 % for three round trips
// (at least 150 ms each, a frame-rate scale); drain sends at half rate.
constexpr double startupGain = 2.0;
constexpr double startupGrowth = 1.25;
constexpr double startupPatienceRounds = 3.0;
// Leaving startup, drain for a second: long enough to empty what doubling queued.
constexpr double startupDrainDuration = 1.0;
constexpr double drainGain = 0.5;
constexpr double minimumRound = 0.15;
// Drain ends early once the newest round trip is within half a queue allowance of empty.
constexpr double drainExitAllowanceShare = 0.5;

// Cruise: probe 25 % above for one round, dip 20 % below for one round to drain what the
// probe queued, then four steady rounds.
constexpr std::array<double, 6> cruiseGains = {1.25, 0.8, 1.0, 1.0, 1.0, 1.0};
// Without a round trip near the path delay for 8 s, drain for two path delays (at least
// 300 ms) to see the empty-queue round trip again.
constexpr double pathRefreshInterval = 8.0;
constexpr double remeasurePathDelays = 2.0;
constexpr double remeasureMinimum = 0.3;

// --------------------------------------------------------------------------------------------

constexpr int64_t bitsPerByte = 8;

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
    : clock(clock ? std::move(clock) : defaultClock()),
      frameInterval(initialFrameInterval),
      maxBitrate(initialMaxBitrate),
      minBitrate(minimumBitrate),
      target(initialMaxBitrate) {}

// --- Operations -----------------------------------------------------------------------------

void VideoPacer::configure(bool acknowledgedRegime, int64_t fps, int64_t maximum) {
    std::unique_lock guard(lock);
    acknowledged = acknowledgedRegime;
    frameInterval = 1.0 / static_cast<double>(std::max<int64_t>(fps, 1));
    maxBitrate = std::max<int64_t>(maximum, 1);
    minBitrate = std::min(maxBitrate, minimumBitrate);
    if (acknowledged) {
        updateTarget(clock());
    } else {
        target = maxBitrate;
    }
    auto callback = bitrateCallback;
    const int64_t value = target;
    guard.unlock();
    if (callback) callback(value);
}

bool VideoPacer::tryReserve() {
    std::lock_guard guard(lock);
    if (!acknowledged) {
        if (reserved >= 1) return false;
        reserved += 1;
        return true;
    }
    // The first frame is never held back: with nothing reserved there is nothing to wait on.
    if (reserved == 0) {
        reserved = 1;
        return true;
    }
    if (reserved >= frameWindow()) return false;
    if (rateEstimate) {
        const int64_t unsent =
            std::max<int64_t>(reserved - static_cast<int64_t>(flights.size()), 0);
        const double projected =
            static_cast<double>(bytesInFlight) + static_cast<double>(unsent * typicalFrameBytes);
        const double budget = *rateEstimate * (windowPathDelays * pathDelay() + queueAllowance());
        if (budget < projected) return false;
    }
    reserved += 1;
    return true;
}

void VideoPacer::releaseReservation() {
    std::unique_lock guard(lock);
    reserved = std::max<int64_t>(reserved - 1, 0);
    auto callback = creditCallback;
    guard.unlock();
    if (callback) callback();
}

void VideoPacer::didSend(int64_t bytes, bool keyframe) {
    std::lock_guard guard(lock);
    const double now = clock();
    if (flights.empty()) {
        // A new burst starts from an idle pipe: its rate is measured from now, not from the
        // last acknowledgement before the pause.
        deliveredTime = now;
        firstSentTime = now;
    }
    // lastSend starts at minus infinity, so the first gap is simply capped.
    const double gap = std::min(std::max(frameInterval, now - lastSend), appLimitedMaxGap);
    const double allowance = static_cast<double>(target) / bitsPerByte * gap * appLimitedShare;
    const bool appLimited = !keyframe && allowance > static_cast<double>(bytes);
    flights.push_back(
        Flight{now, bytes, keyframe, delivered, deliveredTime, firstSentTime, appLimited});
    bytesInFlight += bytes;
    sentTotal += 1;
    lastSend = now;
    // Key frames are outliers many times a normal frame; they would skew the typical size.
    if (!keyframe) {
        typicalFrameBytes = typicalFrameBytes == 0 ? bytes : (3 * typicalFrameBytes + bytes) / 4;
    }
}

void VideoPacer::didComplete() {
    std::unique_lock guard(lock);
    if (acknowledged) return;
    if (!flights.empty()) {
        bytesInFlight -= flights.front().bytes;
        flights.pop_front();
    }
    reserved = std::max<int64_t>(reserved - 1, 0);
    const double now = clock();
    deliveries.push_back(now);
    pruneTimes(deliveries, now, deliveryWindow);
    auto callback = creditCallback;
    guard.unlock();
    if (callback) callback();
}

bool VideoPacer::acknowledge(int64_t total) {
    std::unique_lock guard(lock);
    if (!acknowledged || total < acknowledgedTotal || total > sentTotal) return false;
    const double now = clock();
    const int64_t previousTarget = target;
    while (acknowledgedTotal < total) {
        if (flights.empty()) {
            // Frames completed before the regime became acknowledged are no longer tracked.
            acknowledgedTotal = total;
            break;
        }
        const Flight flight = flights.front();
        flights.pop_front();
        acknowledgedTotal += 1;
        reserved = std::max<int64_t>(reserved - 1, 0);
        delivered += flight.bytes;
        deliveredTime = now;
        bytesInFlight -= flight.bytes;
        record(flight, now);
        firstSentTime = flight.sent;
    }
    checkLateness(now);
    updateTarget(now);
    auto credit = creditCallback;
    std::function<void(int64_t)> bitrate;
    if (target != previousTarget) bitrate = bitrateCallback;
    const int64_t value = target;
    guard.unlock();
    if (credit) credit();
    if (bitrate) bitrate(value);
    return true;
}

VideoPacer::Stats VideoPacer::stats() {
    std::lock_guard guard(lock);
    const double now = clock();
    Stats result;
    result.bitrate = target;
    result.fps = std::count_if(deliveries.begin(), deliveries.end(),
                               [now](double time) { return now - time <= deliveryWindow; });
    if (!roundTripSamples.empty()) {
        result.pathDelayMs = truncateToInt64(std::round(pathDelay() * 1000.0));
    }
    if (!recent.empty()) {
        double sum = 0;
        for (const auto& frame : recent) sum += frame.roundTrip;
        result.roundTripMs =
            truncateToInt64(std::round(sum / static_cast<double>(recent.size()) * 1000.0));
    }
    if (rateEstimate) result.deliveryRate = truncateToInt64(*rateEstimate * bitsPerByte);
    return result;
}

void VideoPacer::setCreditCallback(std::function<void()> callback) {
    std::function<void()> old;
    {
        std::lock_guard guard(lock);
        old = std::exchange(creditCallback, std::move(callback));
    }
    // `old` is destroyed here, outside the lock: its captures may own anything.
}

void VideoPacer::setBitrateCallback(std::function<void(int64_t)> callback) {
    std::function<void(int64_t)> old;
    {
        std::lock_guard guard(lock);
        old = std::exchange(bitrateCallback, std::move(callback));
    }
}

VideoPacer::DebugState VideoPacer::debugState() const {
    std::lock_guard guard(lock);
    DebugState state;
    state.mode = mode;
    state.drainUntil = drainUntil;
    state.cycleIndex = cycleIndex;
    state.reserved = reserved;
    state.flights = static_cast<int64_t>(flights.size());
    state.bytesInFlight = bytesInFlight;
    state.sentTotal = sentTotal;
    state.acknowledgedTotal = acknowledgedTotal;
    state.rateEstimate = rateEstimate;
    state.pathDelay = pathDelay();
    state.typicalFrameBytes = typicalFrameBytes;
    state.target = target;
    state.recent = static_cast<int64_t>(recent.size());
    return state;
}

// --- Internal steps (lock held) -------------------------------------------------------------

double VideoPacer::pathDelay() const {
    if (roundTripSamples.empty()) return defaultPathDelay;
    double smallest = roundTripSamples.front().value;
    for (const auto& sample : roundTripSamples) smallest = std::min(smallest, sample.value);
    return smallest;
}

int64_t VideoPacer::frameWindow() const {
    // Clamped as a double first: a huge path delay over a tiny frame interval must not
    // overflow the conversion.
    const double frames = std::ceil(windowPathDelays * pathDelay() / frameInterval) +
                          static_cast<double>(windowSlackFrames);
    return static_cast<int64_t>(std::clamp(frames, static_cast<double>(windowMinFrames),
                                           static_cast<double>(windowMaxFrames)));
}

double VideoPacer::queueAllowance() const {
    return std::max(allowanceFrameGaps * frameInterval, allowanceMinimum);
}

void VideoPacer::record(const Flight& flight, double now) {
    const double roundTrip = std::max(now - flight.sent, minimumRoundTrip);
    if (roundTrip <= refreshTolerance * pathDelay() + refreshSlack) pathRefreshedAt = now;
    roundTripSamples.push_back({now, roundTrip});
    pruneSamples(roundTripSamples, now, roundTripWindow);
    deliveries.push_back(now);
    pruneTimes(deliveries, now, deliveryWindow);
    if (!flight.keyframe) {
        recent.push_back({now, roundTrip, flight.bytes});
        if (recent.size() > recentFrames) recent.pop_front();
    }
    if (flight.appLimited) lastAppLimited = now;
    recordRateSample(flight, now);
}

void VideoPacer::recordRateSample(const Flight& flight, double now) {
    // The longer of the acknowledgement interval and the send interval: a burst sent faster
    // than the path carries it must not look like a fast path, nor acknowledgements bunched
    // up by the device.
    const double interval =
        std::max(now - flight.deliveredTimeAtSend, flight.sent - flight.firstSentAtSend);
    if (interval <= minimumRateInterval) return;
    const double rate = static_cast<double>(delivered - flight.deliveredAtSend) / interval;
    // An application-limited sample understates the path; it may only raise the estimate.
    const bool keep = !flight.appLimited || (rateEstimate ? rate > *rateEstimate : rate > 0);
    if (keep) rateSamples.push_back({now, rate});
    pruneSamples(rateSamples, now, rateWindow);
    if (!rateSamples.empty()) {
        double largest = rateSamples.front().value;
        for (const auto& sample : rateSamples) largest = std::max(largest, sample.value);
        rateEstimate = largest;
    }
    // With every sample aged out the last estimate stays: a pause in the video says nothing
    // about the path.
}

void VideoPacer::checkLateness(double now) {
    if (mode == Mode::drain || recent.size() != recentFrames || !rateEstimate) return;
    double minRecent = recent.front().roundTrip;
    for (const auto& frame : recent) minRecent = std::min(minRecent, frame.roundTrip);
    const double threshold =
        pathDelay() + transmissionTime(typicalFrameBytes, *rateEstimate) + queueAllowance();
    if (minRecent <= threshold) return;

    if (now - lastLate < repeatLatenessWindow) {
        // Late again right after draining: the path itself got slower. Re-learn its delay
        // from the latest frames instead of the minimum of the last ten seconds.
        roundTripSamples.clear();
        for (const auto& frame : recent) roundTripSamples.push_back({frame.time, frame.roundTrip});
    } else {
        const double span = recent.back().time - recent.front().time;
        if (span > minimumLateSpan) {
            // What the path actually delivered over the late frames (the oldest one's bytes
            // arrived before the span began).
            int64_t bytes = 0;
            for (size_t i = 1; i < recent.size(); ++i) bytes += recent[i].bytes;
            const double recentRate = static_cast<double>(bytes) / span;
            rateEstimate = std::min(recentRate, *rateEstimate);
            rateSamples.assign(1, Sample{now, *rateEstimate});
            mode = Mode::drain;
            drainUntil = now + lateDrainDuration;
        }
    }
    lastLate = now;
    recent.clear();
}

void VideoPacer::updateTarget(double now) {
    if (!acknowledged) return;
    if (!rateEstimate) {
        target = std::min(std::max(minBitrate, unmeasuredBitrate), maxBitrate);
        return;
    }
    const double rate = *rateEstimate;
    const double gain = gainForMode(rate, now);
    // Clamped as a double before the conversion so an absurd estimate cannot overflow it.
    const double bits =
        std::min(rate * bitsPerByte * targetHeadroom * gain, static_cast<double>(maxBitrate));
    target = std::max(std::min(truncateToInt64(bits), maxBitrate), minBitrate);
}

double VideoPacer::gainForMode(double rate, double now) {
    const double floor = std::max(pathDelay(), minimumRound);
    switch (mode) {
        case Mode::drain: {
            const bool queueEmpty =
                !recent.empty() &&
                recent.back().roundTrip <= pathDelay() + transmissionTime(typicalFrameBytes, rate) +
                                               drainExitAllowanceShare * queueAllowance();
            if (now > drainUntil || queueEmpty) {
                mode = Mode::cruise;
                cycleStart = now;
                cycleIndex = 0;
            }
            return drainGain;
        }
        case Mode::startup:
            if (rate > startupGrowth * startupBest || now - lastAppLimited < floor) {
                startupBest = std::max(startupBest, rate);
                startupBestAt = now;
            }
            if (now - startupBestAt > startupPatienceRounds * floor) {
                mode = Mode::drain;
                drainUntil = now + startupDrainDuration;
            }
            return startupGain;
        case Mode::cruise:
            if (now - pathRefreshedAt > pathRefreshInterval) {
                mode = Mode::drain;
                drainUntil = now + std::max(remeasurePathDelays * pathDelay(), remeasureMinimum);
                pathRefreshedAt = now;
                return drainGain;
            }
            if (now - cycleStart > floor) {
                cycleIndex = (cycleIndex + 1) % static_cast<int64_t>(cruiseGains.size());
                cycleStart = now;
            }
            return cruiseGains[static_cast<size_t>(cycleIndex)];
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
