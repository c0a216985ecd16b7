// The relay agent on virtual time. Its links are real RelayLinks whose streams end at a
// scripted relay in memory, and its bridge connections end at a scripted bridge: the test
// plays the relay service (replies, hang-ups) and watches statuses, links and sessions.

#include <gtest/gtest.h>

#include "reach/RelayAgent.h"
#include "support/ScriptedRelay.h"

using namespace caldrovex;
using namespace caldrovex::test;

namespace {

const std::vector<std::string> kKeys1 = {std::string(64, '1')};
const std::vector<std::string> kKeys2 = {std::string(64, '2'), std::string(64, '3')};

std::string requestFor(const std::vector<std::string>& keys) {
    return RelayLink::requestLine(RelayLink::Role::host, keys);
}

class RelayAgentTest : public ::testing::Test {
protected:
    std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
    ScriptedRelay relay{queue};
    std::vector<std::shared_ptr<FarEnd>> bridges;
    std::vector<RelayStatus> statuses;
    std::shared_ptr<RelayAgent> agent;

    void SetUp() override {
        agent = RelayAgent::make(
            queue,
            [this](const std::vector<std::string>& keys) {
                return relay.makeLink(RelayLink::Role::host, keys);
            },
            [this] {
                auto [near, far] = makeStream(queue);
                bridges.push_back(far);
                return near;
            });
        agent->onStatus = [this](RelayStatus status) { statuses.push_back(status); };
    }

    // The agent's links let go of themselves when their cancel runs on the queue.
    void TearDown() override {
        agent.reset();
        queue->runReady();
    }

    void startWith(const std::vector<std::string>& keys) {
        agent->update(keys);
        agent->start();
        queue->runReady();
    }

    // The relay answers link `index` (and what follows runs).
    void reply(size_t index, const std::string& text) {
        relay.links.at(index)->send(text);
        queue->runReady();
    }
    void hangUp(size_t index) {
        relay.links.at(index)->hangUp();
        queue->runReady();
    }

    RelayStatus unreachableClosed() const {
        return RelayStatus::unreachable(RelayLink::kClosedMessage);
    }
};

TEST_F(RelayAgentTest, IdleWithoutKeysThenTwoLinksForTheFirstKey) {
    agent->start();
    queue->runReady();
    EXPECT_EQ(statuses, std::vector<RelayStatus>{RelayStatus::idle()});
    EXPECT_TRUE(relay.links.empty());

    agent->update(kKeys1);
    queue->runReady();
    EXPECT_EQ(statuses, (std::vector<RelayStatus>{RelayStatus::idle(), RelayStatus::connecting()}));
    ASSERT_EQ(relay.links.size(), 2u);
    for (const auto& link : relay.links) EXPECT_EQ(link->received, requestFor(kKeys1));

    reply(0, "WAIT\n");
    EXPECT_EQ(statuses.back(), RelayStatus::ready());
}

TEST_F(RelayAgentTest, KeysGivenBeforeStartReportConnectingStraightAway) {
    startWith(kKeys1);
    EXPECT_EQ(statuses, std::vector<RelayStatus>{RelayStatus::connecting()});
    EXPECT_EQ(relay.links.size(), 2u);
}

TEST_F(RelayAgentTest, UnreachableOnlyOnceNoLinkWaitsAndOfflineChangesNoStatus) {
    startWith(kKeys1);
    hangUp(0);
    EXPECT_EQ(statuses.back(), RelayStatus::connecting()) << "the other link still waits";
    hangUp(1);
    EXPECT_EQ(statuses.back(), unreachableClosed());

    // The retries (after 1 s and 2 s) open two new links; "OFFLINE" on both leaves the status.
    queue->advance(1);
    ASSERT_EQ(relay.open().size(), 2u);
    reply(2, "OFFLINE\n");
    reply(3, "OFFLINE\n");
    EXPECT_EQ(statuses.back(), unreachableClosed());
    EXPECT_EQ(agent->snapshot().failures, 4);
}

TEST_F(RelayAgentTest, RetriesBackOffAndAnAcceptedLinkResetsTheCount) {
    startWith(kKeys1);
    // Link 1 stays connected and silent; every other link fails at once. Each failure in a row
    // waits longer before the replacement is opened.
    const double expectedDelays[] = {1, 2, 4, 8, 16, 30, 30};
    size_t failing = 0;
    for (double delay : expectedDelays) {
        SCOPED_TRACE(delay);
        const size_t before = relay.links.size();
        hangUp(failing);
        queue->advance(delay - 0.5);
        EXPECT_EQ(relay.links.size(), before) << "too early";
        queue->advance(0.5);
        ASSERT_EQ(relay.links.size(), before + 1);
        failing = relay.links.size() - 1;
    }
    EXPECT_EQ(statuses, std::vector<RelayStatus>{RelayStatus::connecting()});

    reply(1, "WAIT\n");
    EXPECT_EQ(agent->snapshot().failures, 0);
    const size_t before = relay.links.size();
    hangUp(failing);
    queue->advance(1);
    EXPECT_EQ(relay.links.size(), before + 1) << "the next failure waits 1 s again";
}

TEST_F(RelayAgentTest, NewKeysReplaceTheLinksOnceANewOneIsAccepted) {
    startWith(kKeys1);
    reply(0, "WAIT\n");
    reply(1, "WAIT\n");

    agent->update(kKeys2);
    queue->runReady();
    ASSERT_EQ(relay.links.size(), 4u);
    EXPECT_EQ(relay.links[2]->received, requestFor(kKeys2));
    EXPECT_EQ(relay.open(), (std::vector<size_t>{0, 1, 2, 3})) << "no gap: the old ones stay";

    reply(2, "WAIT\n");
    EXPECT_EQ(relay.open(), (std::vector<size_t>{2, 3}));
    EXPECT_EQ(statuses.back(), RelayStatus::ready());
}

TEST_F(RelayAgentTest, OldLinksGoAfterTenSecondsAndServeADeviceUntilThen) {
    startWith(kKeys1);
    agent->update(kKeys2);
    queue->runReady();
    ASSERT_EQ(relay.links.size(), 4u);

    // A device paired on an old link meanwhile is served like any other.
    reply(0, "PAIRED\n");
    EXPECT_EQ(bridges.size(), 1u);
    EXPECT_EQ(agent->snapshot().splices, 1u);
    EXPECT_EQ(relay.links.size(), 4u) << "old links are not replaced";

    queue->advance(9.5);
    EXPECT_EQ(relay.open(), (std::vector<size_t>{0, 1, 2, 3}));
    queue->advance(0.5);
    EXPECT_EQ(relay.open(), (std::vector<size_t>{0, 2, 3})) << "link 0 is a session now";

    // A replaced link that fails later is dropped silently.
    EXPECT_EQ(agent->snapshot().failures, 0);
}

TEST_F(RelayAgentTest, SameKeysChangeNothingAndAnotherOrderReplacesAll) {
    startWith(kKeys2);
    agent->update(kKeys2);
    queue->runReady();
    EXPECT_EQ(relay.links.size(), 2u);

    agent->update({kKeys2[1], kKeys2[0]});
    queue->runReady();
    EXPECT_EQ(relay.links.size(), 4u);
}

TEST_F(RelayAgentTest, EmptyKeysDropEveryLinkAndGoIdle) {
    startWith(kKeys1);
    reply(0, "WAIT\n");
    agent->update({});
    queue->runReady();
    EXPECT_TRUE(relay.open().empty());
    EXPECT_EQ(statuses.back(), RelayStatus::idle());
    queue->advance(60);
    EXPECT_EQ(relay.links.size(), 2u) << "no links without keys";
}

TEST_F(RelayAgentTest, APairedLinkIsSplicedAndReplacedAtOnce) {
    startWith(kKeys1);
    reply(0, "WAIT\n");
    reply(0, "PAIRED\nclient hello");
    ASSERT_EQ(bridges.size(), 1u);
    EXPECT_EQ(bridges[0]->received, "client hello");
    EXPECT_EQ(relay.links.size(), 3u);
    EXPECT_EQ(agent->snapshot().waiting, 2u) << "two links keep waiting during the session";

    // Both directions run through the splice.
    relay.links[0]->send("more from the device");
    bridges[0]->send("from the host");
    queue->runReady();
    EXPECT_EQ(bridges[0]->received, "client hellomore from the device");
    EXPECT_EQ(relay.links[0]->received, requestFor(kKeys1) + "from the host");

    // The session ends with the device: the splice goes, the links stay.
    relay.links[0]->hangUp();
    queue->runReady();
    EXPECT_TRUE(bridges[0]->ended);
    EXPECT_EQ(agent->snapshot().splices, 0u);
    EXPECT_EQ(statuses.back(), RelayStatus::ready());
}

TEST_F(RelayAgentTest, StopCutsSessionsAndLinksAndReportsOffOnce) {
    startWith(kKeys1);
    reply(0, "WAIT\n");
    reply(0, "PAIRED\n");
    agent->stop();
    agent->stop();
    queue->runReady();
    EXPECT_EQ(statuses, (std::vector<RelayStatus>{RelayStatus::connecting(), RelayStatus::ready(),
                                                  RelayStatus::off()}));
    EXPECT_TRUE(relay.open().empty());
    EXPECT_TRUE(bridges[0]->ended);
    queue->advance(60);
    EXPECT_EQ(relay.links.size(), 3u) << "a stopped agent opens nothing";
}

TEST_F(RelayAgentTest, DroppingTheAgentClosesItsLinks) {
    startWith(kKeys1);
    agent.reset();
    queue->runReady();
    EXPECT_TRUE(relay.open().empty());
}

}  // namespace
