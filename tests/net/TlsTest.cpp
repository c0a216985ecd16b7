// TLS policy of the network layer: the verify callback's verdict, the one profile (TLS 1.2 with
// ECDHE and AEAD suites, or TLS 1.3) on both sides, identities that do not load, and the connection
// timeout covering the handshake.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl.hpp>
#include <functional>
#include <thread>

#include "net/LoopbackHarness.h"

using namespace caldrovex::test;

namespace {

Parameters tcpListenerParameters() {
    return tlsServerParameters(HostPort{"127.0.0.1", 0});
}

Parameters tlsClientParameters(VerifyCallback verify = {}) {
    Parameters parameters;
    parameters.tls = TlsOptions{};
    parameters.tls->verify = std::move(verify);
    return parameters;
}

uint16_t portOf(const TestListener& listener) {
    return std::get<HostPort>(*listener.listener->localEndpoint()).port;
}

// An OpenSSL context that speaks nothing newer than TLS 1.1 (which OpenSSL itself only allows
// at security level 0), standing in for an outdated peer.
std::unique_ptr<asio::ssl::context> outdatedContext(asio::ssl::context::method method) {
    auto context = std::make_unique<asio::ssl::context>(method);
    SSL_CTX_set_security_level(context->native_handle(), 0);
    SSL_CTX_set_cipher_list(context->native_handle(), "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_VERSION);
    SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_1_VERSION);
    context->set_verify_mode(asio::ssl::verify_none);
    return context;
}

// A TLS 1.2 peer that offers (or accepts) one cipher suite only.
std::unique_ptr<asio::ssl::context> suiteContext(asio::ssl::context::method method,
                                                 const char* suite) {
    auto context = std::make_unique<asio::ssl::context>(method);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_2_VERSION);
    EXPECT_EQ(SSL_CTX_set_cipher_list(context->native_handle(), suite), 1) << suite;
    context->set_verify_mode(asio::ssl::verify_none);
    return context;
}

// Peers the profile turns away: an outdated version, CBC suites with their SHA-1 MAC (with or
// without ECDHE), and static RSA key exchange even with an AEAD cipher. The last row is the
// control: the same kind of peer with a suite of the profile gets through.
struct PeerCase {
    const char* note;
    std::function<std::unique_ptr<asio::ssl::context>(asio::ssl::context::method)> context;
    bool connects;
};

const std::vector<PeerCase>& peerCases() {
    static const std::vector<PeerCase> cases = {
        {"TLS 1.1", outdatedContext, false},
        {"AES128-SHA", [](auto method) { return suiteContext(method, "AES128-SHA"); }, false},
        {"ECDHE-RSA-AES128-SHA",
         [](auto method) { return suiteContext(method, "ECDHE-RSA-AES128-SHA"); }, false},
        {"AES256-GCM-SHA384", [](auto method) { return suiteContext(method, "AES256-GCM-SHA384"); },
         false},
        {"ECDHE-RSA-AES128-GCM-SHA256",
         [](auto method) { return suiteContext(method, "ECDHE-RSA-AES128-GCM-SHA256"); }, true},
    };
    return cases;
}

TEST(Tls, VerifyCallbackSeesTheServersChainAndFalseFailsTheClient) {
    TestListener listener(tcpListenerParameters());
    listener.states->waitFor(StateKind::ready);
    auto seen = std::make_shared<std::vector<CertificateDer>>();
    auto client =
        makeConnection(*listener.listener->localEndpoint(),
                       tlsClientParameters([seen](const std::vector<CertificateDer>& chain) {
                           *seen = chain;
                           return false;
                       }));
    auto states = StateLog::make();
    client->setStateHandler(states->handler());
    auto queued = sendFuture(client, bytesOf("never sent"));
    client->start(SerialQueue::make("caldrovex.test.client"));
    auto server = listener.connection(0);
    auto serverStates = StateLog::make();
    server->setStateHandler(serverStates->handler());
    server->start(SerialQueue::make("caldrovex.test.server"));

    auto failed = states->waitFor(StateKind::failed);
    ASSERT_TRUE(failed.error.has_value());
    EXPECT_EQ(failed.error->description, "The server's certificate was rejected.");
    EXPECT_EQ(*seen, std::vector<CertificateDer>{TestCertificate::shared().der});
    EXPECT_EQ(await(queued, "the held send"), failed.error)
        << "sends held for ready fail with the reason";
    for (auto kind : states->kinds()) EXPECT_NE(kind, StateKind::ready);

    // The server finished its handshake, then the client went away.
    auto end = receiveFuture(server, 1, 1);
    auto result = await(end, "the server's end of stream");
    EXPECT_TRUE(result.isComplete || result.error.has_value());
    EXPECT_FALSE(result.data.has_value()) << "nothing held back was sent";
}

TEST(Tls, ListenerRefusesClientsOutsideTheProfile) {
    TestListener listener(tcpListenerParameters());
    listener.states->waitFor(StateKind::ready);
    size_t accepted = 0;
    for (const auto& c : peerCases()) {
        SCOPED_TRACE(c.note);
        auto clientResult = std::async(std::launch::async, [&, port = portOf(listener)] {
            asio::io_context io;
            auto context = c.context(asio::ssl::context::tls_client);
            asio::ssl::stream<asio::ip::tcp::socket> stream(io, *context);
            stream.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
            std::error_code error;
            stream.handshake(asio::ssl::stream_base::client, error);
            return error;
        });
        auto server = listener.connection(accepted++);
        auto states = StateLog::make();
        server->setStateHandler(states->handler());
        server->start(SerialQueue::make("caldrovex.test.server"));

        // The outside peer always finishes its handshake, one way or the other; the listener's
        // side must agree with it.
        const bool connected = !await(clientResult, "the client's handshake");
        EXPECT_EQ(connected, c.connects);
        auto ended = states->waitFor(connected ? StateKind::ready : StateKind::failed);
        EXPECT_EQ(ended.error.has_value(), !connected);
        server->cancel();
    }
}

TEST(Tls, ClientRefusesServersOutsideTheProfile) {
    for (const auto& c : peerCases()) {
        SCOPED_TRACE(c.note);
        asio::io_context io;
        asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
        auto serverResult = std::async(std::launch::async, [&] {
            auto context = c.context(asio::ssl::context::tls_server);
            const auto& certificate = TestCertificate::shared();
            context->use_certificate_chain(asio::buffer(certificate.certificatePem));
            context->use_private_key(asio::buffer(certificate.privateKeyPem),
                                     asio::ssl::context::pem);
            asio::ssl::stream<asio::ip::tcp::socket> stream(io, *context);
            acceptor.accept(stream.next_layer());
            std::error_code error;
            stream.handshake(asio::ssl::stream_base::server, error);
            return error;
        });

        auto client = makeConnection(HostPort{"127.0.0.1", acceptor.local_endpoint().port()},
                                     tlsClientParameters());
        auto states = StateLog::make();
        client->setStateHandler(states->handler());
        client->start(SerialQueue::make("caldrovex.test.client"));

        const bool connected = !await(serverResult, "the server's handshake");
        EXPECT_EQ(connected, c.connects);
        auto ended = states->waitFor(connected ? StateKind::ready : StateKind::failed);
        EXPECT_EQ(ended.error.has_value(), !connected);
        client->cancel();
    }
}

TEST(Tls, ListenerWithAnUnusableIdentityFailsWithTheReason) {
    auto other = TestCertificate::generate("another");
    const auto& mine = TestCertificate::shared();
    struct Case {
        const char* note;
        std::optional<TlsServerIdentity> identity;
        std::string expectedStart;
    };
    const Case cases[] = {
        {"no identity at all", std::nullopt, "The listener has no TLS identity."},
        {"a key that is not PEM", TlsServerIdentity{"not a key", mine.certificatePem},
         "The TLS private key could not be loaded: "},
        {"a certificate that is not PEM",
         TlsServerIdentity{mine.privateKeyPem, "not a certificate"},
         "The TLS certificate could not be loaded: "},
        {"a key from another certificate",
         TlsServerIdentity{other.privateKeyPem, mine.certificatePem},
         "The TLS private key does not match its certificate."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        Parameters parameters;
        parameters.tls = TlsOptions{c.identity, {}, {}};
        parameters.requiredLocalEndpoint = HostPort{"127.0.0.1", 0};
        TestListener listener(parameters);
        auto failed = listener.states->waitFor(StateKind::failed);
        ASSERT_TRUE(failed.error.has_value());
        EXPECT_EQ(failed.error->description.rfind(c.expectedStart, 0), 0u)
            << failed.error->description;
    }
}

// A peer that accepts the TCP connection and then never says a word: the TLS handshake stalls
// until the connection timeout fails it.
TEST(Tls, ConnectionTimeoutCoversAStalledHandshake) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    auto parameters = tlsClientParameters();
    parameters.tcp.connectionTimeout = 1;
    auto client =
        makeConnection(HostPort{"127.0.0.1", acceptor.local_endpoint().port()}, parameters);
    auto states = StateLog::make();
    client->setStateHandler(states->handler());
    client->start(SerialQueue::make("caldrovex.test.client"));
    asio::ip::tcp::socket silent(io);
    acceptor.accept(silent);

    auto failed = states->waitFor(StateKind::failed);
    ASSERT_TRUE(failed.error.has_value());
    EXPECT_EQ(failed.error->description, std::make_error_code(std::errc::timed_out).message());
}

}  // namespace
