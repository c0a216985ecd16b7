// The relay service's parts: reading request lines, the directory of waiting host links, the
// per-source limit (on given times), and the watched connection's hand-over of its read.

#include <gtest/gtest.h>

#include "platform/ManualQueue.h"
#include "platform/net/MemoryConnection.h"
#include "tools/relay/RelayDirectory.h"
#include "tools/relay/RelayRequest.h"
#include "tools/relay/SourceLimiter.h"
#include "tools/relay/WatchedConnection.h"

using namespace caldrovex;
using namespace caldrovex::relay;
using Role = RelayLink::Role;

namespace {

const std::string kA(64, 'a');
const std::string kB(64, 'b');

TEST(RelayRequest, ReadsHostAndDeviceLinesAndNothingElse) {
    struct Case {
        std::string line;
        std::optional<Role> role;  // nullopt: not a request
        size_t keys;
    };
    std::string many = "CALDROVEX/2 HOST";
    for (size_t i = 0; i < RelayRequest::kMaxKeys; ++i) many += " " + kA;
    const Case cases[] = {
        {"CALDROVEX/2 HOST " + kA, Role::host, 1},
        {"CALDROVEX/2 HOST " + kA + " " + kB, Role::host, 2},
        {"CALDROVEX/2 DEVICE " + kB, Role::device, 1},
        {many, Role::host, RelayRequest::kMaxKeys},
        {many + " " + kA, std::nullopt, 0},                        // one key too many
        {"CALDROVEX/2 DEVICE " + kA + " " + kB, std::nullopt, 0},  // a device asks for one host
        {"CALDROVEX/2 HOST", std::nullopt, 0},
        {"CALDROVEX/2 HOST ", std::nullopt, 0},
        {"CALDROVEX/2 HOST " + kA + " ", std::nullopt, 0},
        {"CALDROVEX/2 HOST  " + kA, std::nullopt, 0},
        {"CALDROVEX/2 HOST " + std::string(64, 'A'), std::nullopt, 0},  // upper case
        {"CALDROVEX/2 HOST " + kA.substr(1), std::nullopt, 0},
        {"CALDROVEX/1 HOST " + kA, std::nullopt, 0},
        {"CALDROVEX/2 GUEST " + kA, std::nullopt, 0},
        {"CALDROVEX/2 HOST " + kA + "\r", std::nullopt, 0},
    };
    EXPECT_LE(many.size() + 1, RelayRequest::kMaxLine);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        const auto request = RelayRequest::parse(c.line);
        ASSERT_EQ(request.has_value(), c.role.has_value());
        if (!request) continue;
        EXPECT_EQ(request->role, *c.role);
        EXPECT_EQ(request->keys.size(), c.keys);
    }
}

TEST(RelayDirectory, PairsTheOldestLinkOfAValueAndTakesItOutFromUnderAllItsValues) {
    RelayDirectory directory;
    directory.add(1, {"x", "y"}, 0);
    directory.add(2, {"x"}, 1);
    directory.add(3, {"z", "z"}, 2);  // listed twice, filed once
    EXPECT_EQ(directory.take("x"), 1u);
    EXPECT_EQ(directory.take("y"), std::nullopt) << "link 1 is gone from under y too";
    EXPECT_EQ(directory.take("x"), 2u);
    EXPECT_EQ(directory.take("x"), std::nullopt);
    directory.remove(3);
    EXPECT_EQ(directory.take("z"), std::nullopt);
    EXPECT_EQ(directory.links(), 0u);
}

TEST(RelayDirectory, RemembersRegisteredValuesForAMinute) {
    RelayDirectory directory;
    directory.add(1, {"x"}, 100);
    directory.remove(1);
    EXPECT_TRUE(directory.known("x", 100 + RelayDirectory::kMemorySeconds));
    EXPECT_FALSE(directory.known("x", 101 + RelayDirectory::kMemorySeconds));
    EXPECT_FALSE(directory.known("never", 100));
    directory.forget(200);
    EXPECT_FALSE(directory.known("x", 100));
}

TEST(SourceLimiter, ABurstThenTheRateAndEachSourceOnItsOwn) {
    SourceLimiter limiter(60, 3);  // one a second after a burst of three
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(limiter.allow("192.0.2.1", 0)) << i;
    EXPECT_FALSE(limiter.allow("192.0.2.1", 0));
    EXPECT_TRUE(limiter.allow("192.0.2.2", 0)) << "another source has its own bucket";
    EXPECT_FALSE(limiter.allow("192.0.2.1", 0.9));
    EXPECT_TRUE(limiter.allow("192.0.2.1", 1.0)) << "refused attempts cost nothing";
    EXPECT_FALSE(limiter.allow("192.0.2.1", 1.5));
    // A long pause fills the bucket up to the burst, not beyond.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(limiter.allow("192.0.2.1", 1000)) << i;
    EXPECT_FALSE(limiter.allow("192.0.2.1", 1000));
}

TEST(SourceLimiter, ForgetsFullBucketsWhenManySourcesCame) {
    SourceLimiter limiter(60, 2);
    for (size_t i = 0; i <= SourceLimiter::kPruneAbove; ++i)
        limiter.allow("198.51.100." + std::to_string(i), 0);
    EXPECT_GT(limiter.tracked(), SourceLimiter::kPruneAbove);
    limiter.allow("203.0.113.1", 600);
    EXPECT_EQ(limiter.tracked(), 1u);
}

class Watched : public ::testing::Test {
protected:
    std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
    std::shared_ptr<platform::net::MemoryConnection> near;
    std::shared_ptr<platform::net::MemoryConnection> far;
    std::shared_ptr<WatchedConnection> watched;
    std::vector<WatchedConnection::Activity> activity;

    void SetUp() override {
        std::tie(near, far) = platform::net::MemoryConnection::makePair();
        near->start(queue);
        far->start(queue);
        watched = WatchedConnection::make(near, queue);
        watched->watch([this](WatchedConnection::Activity seen) { activity.push_back(seen); });
        queue->runReady();
    }

    std::string read(size_t maximum, bool* ended = nullptr) {
        std::string text;
        watched->receive(1, maximum,
                         [&](std::optional<platform::net::Bytes> data, bool complete,
                             std::optional<platform::net::NetError> error) {
                             if (data) text.assign(data->begin(), data->end());
                             if (ended) *ended = complete || error;
                         });
        queue->runReady();
        return text;
    }
};

TEST_F(Watched, BytesArrivingBeforeAnyReaderAreReportedAndKeptInOrder) {
    far->send({'a', 'b', 'c', 'd'}, nullptr);
    queue->runReady();
    ASSERT_EQ(activity.size(), 1u);
    EXPECT_TRUE(activity[0].bytes);
    EXPECT_FALSE(activity[0].ended);
    EXPECT_EQ(read(3), "abc") << "at most what the reader asked for";
    EXPECT_EQ(read(10), "d");
    far->send({'e'}, nullptr);
    EXPECT_EQ(read(10), "e") << "then straight from the connection";
}

TEST_F(Watched, AReaderArrivingFirstGetsTheWatchReadWithoutAnActivityReport) {
    std::string text;
    watched->receive(1, 10, [&](std::optional<platform::net::Bytes> data, bool, auto) {
        if (data) text.assign(data->begin(), data->end());
    });
    far->send({'h', 'i'}, nullptr);
    queue->runReady();
    EXPECT_EQ(text, "hi");
    EXPECT_TRUE(activity.empty());
}

TEST_F(Watched, TheEndOfTheStreamIsReportedAndReachesTheReader) {
    far->sendEndOfStream(nullptr);
    queue->runReady();
    ASSERT_EQ(activity.size(), 1u);
    EXPECT_TRUE(activity[0].ended);
    bool ended = false;
    read(10, &ended);
    EXPECT_TRUE(ended);
}

}  // namespace
