// Listeners bind exactly where they are told or fail with the reason, and clean up unix socket
// files; connections to nowhere fail with the system's description.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>
#include <filesystem>
#include <fstream>

#include "net/LoopbackHarness.h"

using namespace caldrovex::test;

namespace {

Parameters plainAt(Endpoint where) {
    Parameters parameters;
    parameters.requiredLocalEndpoint = std::move(where);
    return parameters;
}

std::string errorText(std::errc code) {
    return std::make_error_code(code).message();
}

TEST(Listener, BindingWhereAnotherListenerIsFails) {
    TempDir dir;
    struct Case {
        const char* note;
        Endpoint where;
    };
    const Case cases[] = {
        {"TCP on loopback", HostPort{"127.0.0.1", 0}},
        {"unix path", UnixPath{dir.file("taken.sock")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        TestListener first(plainAt(c.where));
        first.states->waitFor(StateKind::ready);
        TestListener second(plainAt(*first.listener->localEndpoint()));  // the actual port
        auto failed = second.states->waitFor(StateKind::failed);
        ASSERT_TRUE(failed.error.has_value());
        EXPECT_EQ(failed.error->description, errorText(std::errc::address_in_use));
        EXPECT_EQ(second.listener->localEndpoint(), std::nullopt);
        // The failed attempt must not have taken the first listener's socket file with it.
        if (auto* unix = std::get_if<UnixPath>(&c.where)) {
            EXPECT_TRUE(std::filesystem::exists(unix->path));
        }
    }
}

TEST(Listener, BindingToAnAddressNotOnThisMachineFails) {
    // 192.0.2.1 is reserved for documentation, so no interface here has it.
    TestListener listener(plainAt(HostPort{"192.0.2.1", 0}));
    auto failed = listener.states->waitFor(StateKind::failed);
    ASSERT_TRUE(failed.error.has_value());
    EXPECT_EQ(failed.error->description, errorText(std::errc::address_not_available));
}

// Whoever takes an accepted connection tells peers apart before starting it, and the peer
// may already be gone by then: the address is read at accept time.
TEST(Listener, AcceptedConnectionKnowsItsPeerBeforeItStarts) {
    TestListener listener(plainAt(HostPort{"127.0.0.1", 0}));
    listener.states->waitFor(StateKind::ready);
    const auto port = std::get<HostPort>(*listener.listener->localEndpoint()).port;
    asio::io_context io;
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> clients;
    const std::vector<std::string> sources = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
    for (size_t i = 0; i < sources.size(); ++i) {
        SCOPED_TRACE(sources[i]);
        auto client = std::make_unique<asio::ip::tcp::socket>(io);
        client->open(asio::ip::tcp::v4());
        client->bind({asio::ip::make_address(sources[i]), 0});
        client->connect({asio::ip::make_address("127.0.0.1"), port});
        const uint16_t sourcePort = client->local_endpoint().port();
        // The first client leaves before its connection is looked at.
        if (i == 0) client->close();
        clients.push_back(std::move(client));

        auto accepted = listener.connection(i);
        EXPECT_EQ(accepted->state().kind, StateKind::setup);
        EXPECT_EQ(accepted->remoteEndpoint(), (Endpoint{HostPort{sources[i], sourcePort}}));
    }
}

TEST(Listener, CancelRemovesTheUnixSocketFileAndIsIdempotent) {
    TempDir dir;
    std::string path = dir.file("host.sock");
    TestListener listener(plainAt(UnixPath{path}));
    listener.states->waitFor(StateKind::ready);
    EXPECT_TRUE(std::filesystem::is_socket(path));
    EXPECT_EQ(listener.listener->localEndpoint(), Endpoint(UnixPath{path}));
    listener.listener->cancel();
    listener.listener->cancel();
    listener.states->waitFor(StateKind::cancelled);
    EXPECT_FALSE(std::filesystem::exists(path));

    // Nothing listens any more.
    auto client = makeConnection(UnixPath{path}, {});
    auto states = StateLog::make();
    client->setStateHandler(states->handler());
    client->start(SerialQueue::make("caldrovex.test.client"));
    states->waitFor(StateKind::failed);
    auto kinds = listener.states->kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), StateKind::cancelled), 1);
}

TEST(Listener, DroppingTheListenerAlsoRemovesItsFile) {
    TempDir dir;
    std::string path = dir.file("dropped.sock");
    auto states = StateLog::make();
    {
        auto listener = makeListener(plainAt(UnixPath{path}));
        listener->setStateHandler(states->handler());
        listener->start(SerialQueue::make("caldrovex.test.listener"));
        states->waitFor(StateKind::ready);
    }
    states->waitFor(StateKind::cancelled);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(Listener, ReclaimsASocketFileNobodyListensOnButNotOtherFiles) {
    TempDir dir;
    // A socket file left behind by a process that is gone: bound, never removed.
    std::string stale = dir.file("stale.sock");
    {
        asio::io_context io;
        asio::local::stream_protocol::acceptor leftover(
            io, asio::local::stream_protocol::endpoint(stale));
    }
    ASSERT_TRUE(std::filesystem::is_socket(stale));
    TestListener reclaimed(plainAt(UnixPath{stale}));
    reclaimed.states->waitFor(StateKind::ready);

    std::string regular = dir.file("regular.file");
    std::ofstream(regular) << "keep me";
    TestListener refused(plainAt(UnixPath{regular}));
    auto failed = refused.states->waitFor(StateKind::failed);
    EXPECT_EQ(failed.error->description, errorText(std::errc::address_in_use));
    EXPECT_TRUE(std::filesystem::is_regular_file(regular));
}

TEST(Listener, ConnectingToNothingFailsWithTheSystemsReason) {
    TempDir dir;
    // A port that was just free: bind it, note it, let it go.
    uint16_t closedPort;
    {
        TestListener gone(plainAt(HostPort{"127.0.0.1", 0}));
        gone.states->waitFor(StateKind::ready);
        closedPort = std::get<HostPort>(*gone.listener->localEndpoint()).port;
        gone.listener->cancel();
        gone.states->waitFor(StateKind::cancelled);
    }
    struct Case {
        const char* note;
        Endpoint to;
        std::errc expected;
    };
    const Case cases[] = {
        {"closed TCP port", HostPort{"127.0.0.1", closedPort}, std::errc::connection_refused},
        {"missing unix path", UnixPath{dir.file("missing.sock")},
         std::errc::no_such_file_or_directory},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        auto client = makeConnection(c.to, {});
        auto states = StateLog::make();
        client->setStateHandler(states->handler());
        auto pending = receiveFuture(client, 1, 1);
        client->start(SerialQueue::make("caldrovex.test.client"));
        auto failed = states->waitFor(StateKind::failed);
        ASSERT_TRUE(failed.error.has_value());
        EXPECT_EQ(failed.error->description, errorText(c.expected));
        EXPECT_EQ(await(pending, "the pending receive").error, failed.error);
        EXPECT_EQ(states->kinds(),
                  (std::vector<StateKind>{StateKind::preparing, StateKind::failed}));
    }
}

TEST(Listener, CancelBeforeStartReportsCancelledAndBindsNothing) {
    TempDir dir;
    std::string path = dir.file("never.sock");
    auto listener = makeListener(plainAt(UnixPath{path}));
    auto states = StateLog::make();
    listener->setStateHandler(states->handler());
    listener->cancel();
    listener->start(SerialQueue::make("caldrovex.test.listener"));
    states->waitFor(StateKind::cancelled);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(states->kinds(), std::vector<StateKind>{StateKind::cancelled});
}

TEST(Listener, ConnectionArrivingWithoutAHandlerIsClosed) {
    auto listener = makeListener(plainAt(HostPort{"127.0.0.1", 0}));
    auto states = StateLog::make();
    listener->setStateHandler(states->handler());
    listener->start(SerialQueue::make("caldrovex.test.listener"));
    states->waitFor(StateKind::ready);
    auto client = makeConnection(*listener->localEndpoint(), {});
    client->start(SerialQueue::make("caldrovex.test.client"));
    auto end = receiveFuture(client, 1, 1);
    auto result = await(end, "the end of the unwanted connection");
    EXPECT_TRUE(result.isComplete || result.error.has_value());
    EXPECT_FALSE(result.data.has_value());
    listener->cancel();
}

TEST(Listener, AcceptedConnectionKnowsItsRemoteHostBeforeItStarts) {
    // The host's intake limits each remote host from the moment a connection arrives.
    TestListener listener(plainAt(HostPort{"127.0.0.1", 0}));
    listener.states->waitFor(StateKind::ready);
    auto client = makeConnection(*listener.listener->localEndpoint(), {});
    client->start(SerialQueue::make("caldrovex.test.client"));
    auto accepted = listener.connection(0);
    auto remote = accepted->remoteEndpoint();
    ASSERT_TRUE(remote.has_value());
    EXPECT_EQ(std::get<HostPort>(*remote).host, "127.0.0.1");
    accepted->cancel();
    client->cancel();
}

}  // namespace

namespace {

TEST(Listener, AnAcceptedConnectionNamesItsPeerBeforeItStarts) {
    TestListener listener(plainAt(HostPort{"127.0.0.1", 0}));
    listener.states->waitFor(StateKind::ready);
    auto client = makeConnection(*listener.listener->localEndpoint(), {});
    client->start(SerialQueue::make("caldrovex.test.client"));
    auto accepted = listener.connection(0);
    ASSERT_TRUE(accepted->remoteEndpoint().has_value());
    EXPECT_EQ(std::get<HostPort>(*accepted->remoteEndpoint()).host, "127.0.0.1");
    EXPECT_EQ(accepted->state().kind, StateKind::setup);
    accepted->cancel();
    client->cancel();
}

}  // namespace
