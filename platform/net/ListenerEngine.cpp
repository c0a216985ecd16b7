#include "platform/net/ListenerEngine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>

#include "platform/CaldrovexError.h"
#include "platform/QueueAssert.h"
#include "platform/net/AsioConnection.h"

namespace caldrovex::platform::net {

namespace {

// Connections the kernel may hold completed but not yet accepted.
constexpr int kBacklog = asio::socket_base::max_listen_connections;

std::optional<std::pair<dev_t, ino_t>> fileIdentity(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
    return std::pair{info.st_dev, info.st_ino};
}

// A unix socket file nobody listens on any more: connecting to it is refused.
bool isStaleSocket(const asio::local::stream_protocol::endpoint& endpoint) {
    struct stat info {};
    if (::lstat(endpoint.path().c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
    asio::io_context probeContext;
    asio::local::stream_protocol::socket probe(probeContext);
    std::error_code error;
    probe.connect(endpoint, error);
    return error == asio::error::connection_refused;
}

}  // namespace

ListenerEngine::ListenerEngine(Parameters parameters) : parameters_(std::move(parameters)) {}

// ---- Any thread ------------------------------------------------------------------------------

void ListenerEngine::setStateHandler(Listener::StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void ListenerEngine::setNewConnectionHandler(Listener::NewConnectionHandler handler) {
    std::lock_guard lock(mutex_);
    newConnectionHandler_ = std::move(handler);
}

void ListenerEngine::start(QueuePtr queue) {
    std::lock_guard lock(mutex_);
    if (binding_ || !queue) return;
    binding_.emplace(std::move(queue));
    asio::post(binding_->strand(), [self = shared_from_this()] { self->begin(); });
}

void ListenerEngine::cancel() {
    std::lock_guard lock(mutex_);
    if (!binding_) {
        // Nothing is bound yet; `start` will only report the cancellation.
        cancelledBeforeStart_ = true;
        return;
    }
    asio::post(binding_->strand(), [self = shared_from_this()] { self->doCancel(); });
}

std::optional<Endpoint> ListenerEngine::localEndpoint() const {
    std::lock_guard lock(mutex_);
    return local_;
}

// ---- Binding ---------------------------------------------------------------------------------

void ListenerEngine::begin() {
    checkStrand();
    {
        std::lock_guard lock(mutex_);
        if (cancelledBeforeStart_) cancelled_ = true;
    }
    if (cancelled_) {
        phase_ = Phase::ended;
        return setState(State{StateKind::cancelled, std::nullopt});
    }
    try {
        if (parameters_.tls) {
            if (!parameters_.tls->identity) return fail("The listener has no TLS identity.");
            tls_ = TlsContext::makeServer(*parameters_.tls->identity);
        }
        // Without a required endpoint: any free port on every IPv4 interface.
        Endpoint where = parameters_.requiredLocalEndpoint.value_or(HostPort{"0.0.0.0", 0});
        std::error_code error = std::holds_alternative<UnixPath>(where)
                                    ? bindUnix(std::get<UnixPath>(where))
                                    : bindTcp(std::get<HostPort>(where));
        if (error) return fail(error.message());
    } catch (const CaldrovexError& error) {  // the TLS identity did not load
        return fail(error.message());
    } catch (const std::system_error& error) {  // an unusable address or path
        return fail(error.code().message());
    }
    phase_ = Phase::ready;
    setState(State{StateKind::ready, std::nullopt});
    acceptNext();
}

std::error_code ListenerEngine::bindTcp(const HostPort& where) {
    checkStrand();
    std::error_code error;
    auto address = asio::ip::make_address(where.host.empty() ? "0.0.0.0" : where.host, error);
    if (error) {
        // A name rather than a literal ("localhost"): bind to what it resolves to first.
        asio::ip::tcp::resolver resolver(binding().strand());
        auto results = resolver.resolve(where.host, std::to_string(where.port),
                                        asio::ip::resolver_base::passive, error);
        if (error) return error;
        address = results.begin()->endpoint().address();
    }
    asio::ip::tcp::endpoint endpoint(address, where.port);
    tcpAcceptor_ = std::make_unique<asio::ip::tcp::acceptor>(binding().strand());
    // Reuse lets a restarted host take its port back from connections in TIME_WAIT; Linux
    // still refuses an address another socket listens on.
    tcpAcceptor_->open(endpoint.protocol(), error);
    if (!error) tcpAcceptor_->set_option(asio::socket_base::reuse_address(true), error);
    if (!error) tcpAcceptor_->bind(endpoint, error);
    if (!error) tcpAcceptor_->listen(kBacklog, error);
    if (error) return error;
    auto bound = tcpAcceptor_->local_endpoint(error);
    if (error) return error;
    std::lock_guard lock(mutex_);
    local_ = HostPort{bound.address().to_string(), bound.port()};
    return {};
}

std::error_code ListenerEngine::bindUnix(const UnixPath& where) {
    checkStrand();
    asio::local::stream_protocol::endpoint endpoint(where.path);
    std::error_code error;
    unixAcceptor_ = std::make_unique<asio::local::stream_protocol::acceptor>(binding().strand());
    unixAcceptor_->open(endpoint.protocol(), error);
    if (error) return error;
    unixAcceptor_->bind(endpoint, error);
    if (error == asio::error::address_in_use && isStaleSocket(endpoint)) {
        ::unlink(where.path.c_str());
        unixAcceptor_->bind(endpoint, error);
    }
    if (error) return error;
    if (auto identity = fileIdentity(where.path)) {
        createdPath_ = where.path;
        std::tie(createdDevice_, createdInode_) = *identity;
    }
    unixAcceptor_->listen(kBacklog, error);
    if (error) return error;
    std::lock_guard lock(mutex_);
    local_ = where;
    return {};
}

// ---- Accepting -------------------------------------------------------------------------------

void ListenerEngine::acceptNext() {
    checkStrand();
    auto self = shared_from_this();
    // Accepted sockets get the pool's plain executor: their connection binds its own strand.
    auto& pool = SerialQueue::pool();
    if (tcpAcceptor_) {
        tcpAcceptor_->async_accept(
            pool.get_executor(),
            asio::bind_executor(binding().strand(),
                                [self](const std::error_code& error, TcpSocket socket) {
                                    self->onAccepted(error, RawSocket(std::move(socket)));
                                }));
    } else {
        unixAcceptor_->async_accept(
            pool.get_executor(),
            asio::bind_executor(binding().strand(),
                                [self](const std::error_code& error, UnixSocket socket) {
                                    self->onAccepted(error, RawSocket(std::move(socket)));
                                }));
    }
}

void ListenerEngine::onAccepted(const std::error_code& error, RawSocket socket) {
    checkStrand();
    if (phase_ != Phase::ready) return;
    // A client that gave up between connect and accept costs nothing; anything else (out of
    // descriptors, a broken socket) ends the listener with the reason rather than spinning.
    if (error == asio::error::connection_aborted) return acceptNext();
    if (error) return fail(error.message());
    auto connection = std::make_shared<AsioConnection>(
        ConnectionEngine::accepted(std::move(socket), parameters_, tls_));
    binding().deliver([weak = weak_from_this(), connection] {
        auto self = weak.lock();
        if (!self) return;
        Listener::NewConnectionHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->newConnectionHandler_;
        }
        if (handler) handler(connection);
    });
    acceptNext();
}

// ---- Ending ----------------------------------------------------------------------------------

void ListenerEngine::fail(const std::string& description) {
    checkStrand();
    if (phase_ == Phase::ended) return;
    phase_ = Phase::ended;
    closeAll();
    setState(State{StateKind::failed, NetError{description}});
}

void ListenerEngine::doCancel() {
    checkStrand();
    if (cancelled_) return;
    cancelled_ = true;
    phase_ = Phase::ended;
    closeAll();
    setState(State{StateKind::cancelled, std::nullopt});
}

void ListenerEngine::closeAll() {
    checkStrand();
    std::error_code ignored;  // closing twice or closing a never-opened acceptor is harmless
    if (tcpAcceptor_) tcpAcceptor_->close(ignored);
    if (unixAcceptor_) unixAcceptor_->close(ignored);
    // Only the file this listener bound: another listener may have taken the path since.
    if (createdPath_ && fileIdentity(*createdPath_) == std::pair{createdDevice_, createdInode_}) {
        ::unlink(createdPath_->c_str());
    }
    createdPath_.reset();
}

void ListenerEngine::setState(State state) {
    checkStrand();
    binding().deliver([weak = weak_from_this(), state = std::move(state)] {
        auto self = weak.lock();
        if (!self) return;
        Listener::StateHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->stateHandler_;
        }
        if (handler) handler(state);
    });
}

void ListenerEngine::checkStrand(const char* function, const char* file, unsigned line) const {
    assertOnStrand(binding().strand(), "listener strand", function, file, line);
}

}  // namespace caldrovex::platform::net
