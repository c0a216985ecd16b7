#pragma once

#include <cstdint>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Queue.h"

namespace caldrovex::platform {

// A queue on virtual time, and the clock that reads it. Nothing runs until the test calls
// `advance` (or `runReady`); then every item that falls due runs in order of due time, items
// due at the same time in posting order, with the clock set to each item's due time while
// it runs. Work posted while advancing runs in the same call if it falls due in the window.
//
// Posting is thread-safe, so real network callbacks may post here, but only one thread may
// advance at a time.
class ManualQueue final : public Queue, public Clock {
public:
    explicit ManualQueue(std::string label = "manual");

    const std::string& label() const override { return label_; }
    void post(Work work) override;
    void postAfter(double seconds, Work work) override;
    bool isCurrent() const override;
    // Runs in place: tests that use a manual queue are single-threaded drivers of it.
    void sync(Work work) override;

    double monotonic() const override;
    WallTime wall() const override;

    // While one of these lives, the thread that made it counts as running the queue
    // (`isCurrent` is true there): a test whose body plays the part of the queue calls the
    // components confined to it directly, as work of the queue would.
    class Entered {
    public:
        explicit Entered(ManualQueue& queue);
        ~Entered();
        Entered(const Entered&) = delete;
        Entered& operator=(const Entered&) = delete;

    private:
        ManualQueue& queue_;
    };

    // Moves virtual time forward by `seconds`, running everything that falls due on the way.
    void advance(double seconds);
    // Runs everything already due at the current virtual time.
    void runReady() { advance(0); }
    // Number of items waiting (due or not).
    size_t pending() const;
    // The calendar time that corresponds to virtual time 0.
    void setWallOrigin(WallTime origin);

private:
    struct Item {
        double due;
        uint64_t sequence;
        Work work;
    };
    struct Later {
        bool operator()(const Item& a, const Item& b) const {
            return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
        }
    };

    std::string label_;
    mutable std::mutex mutex_;
    std::priority_queue<Item, std::vector<Item>, Later> items_;
    uint64_t nextSequence_ = 0;
    double now_ = 0;
    WallTime wallOrigin_;
    std::thread::id runner_;
    int depth_ = 0;
};

}  // namespace caldrovex::platform
