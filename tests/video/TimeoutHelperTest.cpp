#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ManualQueue.h"
#include "video/TimeoutHelper.h"

using namespace caldrovex;
using platform::ManualQueue;

namespace {

// Records every delivery, so "exactly once" can be checked after the loser has run too.
template <typename T>
struct Deliveries {
    std::vector<TimeoutOutcome<T>> outcomes;
    std::function<void(TimeoutOutcome<T>)> sink() {
        return [this](TimeoutOutcome<T> outcome) { outcomes.push_back(std::move(outcome)); };
    }
};

// An operation that answers on `queue` after `delay` virtual seconds.
template <typename T>
std::function<void(std::function<void(TimeoutOutcome<T>)>)> answerLater(ManualQueue& queue,
                                                                        double delay,
                                                                        TimeoutOutcome<T> answer) {
    return [&queue, delay, answer](std::function<void(TimeoutOutcome<T>)> done) {
        queue.postAfter(delay, [done, answer] { done(answer); });
    };
}

std::string errorOf(const TimeoutOutcome<int>& outcome) {
    return std::get<CaldrovexError>(outcome).message();
}

}  // namespace

TEST(TimeoutHelper, ValueBeforeTheLimitIsDeliveredAndTheTimerDoesNothing) {
    ManualQueue queue;
    Deliveries<int> got;
    withTimeout<int>(queue, 8, answerLater<int>(queue, 2, 42), got.sink());

    queue.advance(2);
    ASSERT_EQ(got.outcomes.size(), 1u);
    EXPECT_EQ(std::get<int>(got.outcomes[0]), 42);

    // The timer still fires at 8 s, and is ignored.
    queue.advance(10);
    EXPECT_EQ(got.outcomes.size(), 1u);
    EXPECT_EQ(queue.pending(), 0u);
}

TEST(TimeoutHelper, TimerWinsAndTheLateValueIsDropped) {
    ManualQueue queue;
    Deliveries<int> got;
    withTimeout<int>(queue, 8, answerLater<int>(queue, 8.5, 42), got.sink());

    queue.advance(7.9);
    EXPECT_TRUE(got.outcomes.empty());
    queue.advance(0.1);
    ASSERT_EQ(got.outcomes.size(), 1u);
    EXPECT_EQ(errorOf(got.outcomes[0]),
              "This computer's capture service timed out. Retrying may restore the display.");

    // The operation was not cancelled: it finishes later and its value goes nowhere.
    queue.advance(1);
    EXPECT_EQ(got.outcomes.size(), 1u);
    EXPECT_EQ(queue.pending(), 0u);
}

TEST(TimeoutHelper, OperationErrorsBeatTheTimer) {
    const CaldrovexError failure("The display is gone.");
    struct Case {
        const char* name;
        std::function<void(std::function<void(TimeoutOutcome<int>)>)> operation;
        double runFor;  // virtual time needed for the error to arrive
    };
    ManualQueue queue;
    const std::vector<Case> cases = {
        {"fails at once through its completion",
         [&](auto done) { done(TimeoutOutcome<int>(std::in_place_index<1>, failure)); }, 0},
        {"fails at once by throwing", [&](auto) -> void { throw failure; }, 0},
        {"fails later, before the limit", answerLater<int>(queue, 3, failure), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Deliveries<int> got;
        withTimeout<int>(queue, 5, c.operation, got.sink());
        queue.advance(c.runFor);
        ASSERT_EQ(got.outcomes.size(), 1u);
        EXPECT_EQ(errorOf(got.outcomes[0]), "The display is gone.");
        // The timer fires afterwards without a second delivery.
        queue.advance(10);
        EXPECT_EQ(got.outcomes.size(), 1u);
    }
}

TEST(TimeoutHelper, OperationsWithoutAValueUseDone) {
    ManualQueue queue;
    Deliveries<TimeoutDone> got;
    withTimeout<TimeoutDone>(queue, 3, answerLater<TimeoutDone>(queue, 1, TimeoutDone{}),
                             got.sink());
    queue.advance(1);
    ASSERT_EQ(got.outcomes.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<TimeoutDone>(got.outcomes[0]));
}

TEST(TimeoutResult, CompletionRunsOutsideTheLock) {
    // A completion that re-enters the race (as a loser would) must not deadlock.
    std::shared_ptr<TimeoutResult<int>> race;
    int delivered = 0;
    race = std::make_shared<TimeoutResult<int>>([&](TimeoutOutcome<int>) {
        ++delivered;
        race->finish(7);
    });
    race->finish(1);
    EXPECT_EQ(delivered, 1);
}

TEST(TimeoutResult, ConcurrentFinishesDeliverExactlyOnce) {
    std::atomic<int> delivered{0};
    std::atomic<int> winner{-1};
    auto race = std::make_shared<TimeoutResult<int>>([&](TimeoutOutcome<int> outcome) {
        delivered.fetch_add(1);
        winner = std::get<int>(outcome);
    });
    std::atomic<bool> go{false};
    std::vector<std::thread> contenders;
    for (int i = 0; i < 8; ++i) {
        contenders.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            race->finish(i);
        });
    }
    go = true;
    for (auto& t : contenders) t.join();
    EXPECT_EQ(delivered.load(), 1);
    EXPECT_GE(winner.load(), 0);
    EXPECT_LT(winner.load(), 8);
}
