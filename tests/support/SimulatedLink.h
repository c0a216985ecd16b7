#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "platform/ManualQueue.h"
#include "platform/net/Connection.h"

namespace caldrovex::test {

// A bottleneck path between two connection ends, on virtual time.
//
//   end A ──send──▶ [drop-tail buffer] ──capacity──▶ (delay + jitter) ──▶ end B
//   end A ◀── the same, mirrored, for bytes B sends back (acknowledgements) ──── end B
//
// It models one TCP path without loss: bytes are serialised at the link's capacity in
// packets of `packetBytes`, each then travels the one-way delay plus a random extra delay
// (never overtaking the packet before it), and arrives in order. A write is taken into the
// buffer only while the buffer has room for it (or is empty); otherwise it waits and its
// completion is late, as a blocked socket write would be. Every event runs on the
// ManualQueue, so a scenario of minutes runs in a fraction of a second and repeats exactly
// for the same seed.
class SimulatedLink : public std::enable_shared_from_this<SimulatedLink> {
public:
    struct Config {
        double capacityBitsPerSecond = 10'000'000;
        double oneWayDelay = 0.010;  // seconds of propagation, each direction
        // Bytes the bottleneck buffer holds; 0 = one second at the initial capacity.
        size_t bufferBytes = 0;
        double jitterMax = 0;  // extra delay per packet, uniform in [0, jitterMax]
        uint64_t seed = 1;
        size_t packetBytes = 1500;
        // Capacity changes: (virtual time, new capacity in bit/s), in time order.
        std::vector<std::pair<double, double>> capacityChanges;
    };

    // Called whenever bytes reach the far end, with the direction (0: A→B, 1: B→A).
    std::function<void(int direction, size_t bytes, double time)> onDelivered;

    static std::shared_ptr<SimulatedLink> make(std::shared_ptr<platform::ManualQueue> queue,
                                               Config config);

    platform::net::ConnectionPtr endA() const;
    platform::net::ConnectionPtr endB() const;

    double capacityAt(double time) const;
    // Bytes waiting in the bottleneck buffer of a direction (0: A→B).
    size_t queuedBytes(int direction) const;
    const Config& config() const { return config_; }

    SimulatedLink(std::shared_ptr<platform::ManualQueue> queue, Config config);

private:
    class End;
    struct Packet {
        platform::net::Bytes bytes;
        bool endOfStream = false;
    };
    struct Write {
        platform::net::Bytes bytes;
        bool endOfStream = false;
        platform::net::Connection::SendCompletion completion;
    };
    struct Direction {
        std::deque<Write> waiting;
        std::deque<Packet> buffer;
        size_t bufferedBytes = 0;
        bool transmitting = false;
        double lastArrival = 0;
    };

    void write(int direction, Write write);
    void admit(int direction);
    void transmitNext(int direction);
    void arrive(int direction, Packet packet);
    void closeBoth(int from);

    std::shared_ptr<platform::ManualQueue> queue_;
    Config config_;
    std::mt19937_64 random_;
    Direction directions_[2];
    std::shared_ptr<End> ends_[2];

    friend class End;
};

}  // namespace caldrovex::test
