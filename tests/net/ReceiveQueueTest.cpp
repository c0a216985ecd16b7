#include "platform/net/ReceiveQueue.h"

#include <gtest/gtest.h>

#include <string>

using namespace caldrovex::platform::net;

namespace {

struct Answer {
    bool done = false;
    std::string data = "<none>";
    bool isComplete = false;
};

// One receive against a buffer: the bounds both the real engine and the in-memory pair give
// to every receive, since both answer through this queue.
struct Case {
    const char* note;
    std::string buffered;
    bool inputEnded;
    size_t minimum;
    size_t maximum;
    Answer expected;
    std::optional<size_t> stillNeeds;  // what `service` reports while the receive waits
};

const Case kCases[] = {
    {"enough bytes: up to the maximum", "abcdef", false, 2, 4, {true, "abcd", false}, {}},
    {"too few: waits for its minimum", "ab", false, 3, 8, {}, 3},
    {"a minimum of 0 counts as 1", "", false, 0, 8, {}, 1},
    {"a maximum of 0 counts as 1", "abc", false, 0, 0, {true, "a", false}, {}},
    {"a minimum above the maximum is held to it", "abc", false, 9, 2, {true, "ab", false}, {}},
    {"ended input hands over what is left", "ab", true, 5, 8, {true, "ab", true}, {}},
    {"ended and empty: no data, complete", "", true, 1, 8, {true, "<none>", true}, {}},
    {"ended with more left: not yet complete", "abc", true, 1, 2, {true, "ab", false}, {}},
};

TEST(ReceiveQueue, BoundsEveryReceiveTheSameWay) {
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.note);
        ReceiveQueue queue;
        queue.append(reinterpret_cast<const uint8_t*>(c.buffered.data()), c.buffered.size());
        if (c.inputEnded) queue.endInput();
        Answer answer;
        queue.add(c.minimum, c.maximum, [](auto, auto, auto) {});
        auto needs = queue.service([&](auto, std::optional<Bytes> data, bool isComplete) {
            answer.done = true;
            if (data) answer.data.assign(data->begin(), data->end());
            answer.isComplete = isComplete;
        });
        EXPECT_EQ(answer.done, c.expected.done);
        EXPECT_EQ(answer.data, c.expected.data);
        EXPECT_EQ(answer.isComplete, c.expected.isComplete);
        EXPECT_EQ(needs, c.stillNeeds);
    }
}

TEST(ReceiveQueue, AnswersInCallOrderAndHandsBackTheWaiting) {
    ReceiveQueue queue;
    std::string order;
    for (char name : std::string("abc")) {
        queue.add(2, 2, [&order, name](auto, auto, auto) { order += name; });
    }
    queue.append(reinterpret_cast<const uint8_t*>("xyz"), 3);
    queue.service([](auto completion, auto data, bool isComplete) {
        completion(data, isComplete, std::nullopt);
    });
    EXPECT_EQ(order, "a");
    EXPECT_EQ(queue.buffered(), 1u);
    auto waiting = queue.takeWaiting();
    ASSERT_EQ(waiting.size(), 2u);
    for (auto& completion : waiting) completion(std::nullopt, false, std::nullopt);
    EXPECT_EQ(order, "abc");
    EXPECT_FALSE(queue.service([](auto, auto, auto) { FAIL() << "nothing waits"; }));
}

}  // namespace
