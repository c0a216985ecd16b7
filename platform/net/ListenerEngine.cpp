#include "platform/net/ListenerEngine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <cerrno>

#include "platform/CaldrovexError.h"
#include "platform/QueueAssert.h"
#include "platform/net/AsioConnection.h"
#include "platform/net/DescriptorBudget.h"

namespace caldrovex::platform::net {

namespace {

// Connections the kernel may hold completed but not yet accepted.
constexpr int kBacklog = asio::socket_base::max_listen_connections;
// How long accepting pauses when descriptors run short: closes elsewhere free them within
// moments, and a pause this short adds little to a device's wait.
constexpr std::chrono::milliseconds kShortagePause{100};

const std::string kBudgetSpent =
    "Few file descriptors are left, and those are kept for the host itself.";

// The system could not give the new connection a descriptor or memory for it; later it may.
bool isShortage(const std::error_code& error) {
    return error == std::errc::too_many_files_open ||
           error == std::errc::too_many_files_open_in_system ||
           error == std::errc::no_buffer_space || error == std::errc::not_enough_memory;
}

// Errors that belong to one incoming connection, not to the listening socket: it was aborted
// or reset before it was taken, the network under it went away, or a filter refused it
// (accept(2) hands such pending network errors over on the new connection).
bool concernsOneConnection(const std::error_code& error) {
    static const std::errc kinds[] = {std::errc::connection_aborted,
                                      std::errc::connection_reset,
                                      std::errc::interrupted,
                                      std::errc::resource_unavailable_try_again,
                                      std::errc::protocol_error,
                                      std::errc::no_protocol_option,
                                      std::errc::network_down,
                                      std::errc::network_unreachable,
                                      std::errc::host_unreachable,
                                      std::errc::operation_not_supported,
                                      std::errc::operation_not_permitted};
    for (auto kind : kinds) {
        if (error == kind) return true;
    }
    // No std::errc names these two.
    return error.category() == std::system_category() &&
           (error.value() == EHOSTDOWN || error.value() == ENONET);
}

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

void ListenerEngine::setPauseHandler(Listener::PauseHandler handler) {
    std::lock_guard lock(mutex_);
    pauseHandler_ = std::move(handler);
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
    if (!DescriptorBudget::process().take()) return pause(kBudgetSpent);
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
    if (error) DescriptorBudget::process().giveBack();
    if (phase_ != Phase::ready) return;
    if (!error) {
        deliver(std::move(socket));
        if (paused_) {
            paused_ = false;
            reportPause(std::nullopt);
        }
        return acceptNext();
    }
    if (isShortage(error)) {
        // The budget allowed what the system refused: read it afresh before the next try.
        DescriptorBudget::process().invalidate();
        return pause(error.message());
    }
    if (concernsOneConnection(error)) return acceptNext();
    // The listening socket itself is broken: end with the reason rather than spin.
    fail(error.message());
}

void ListenerEngine::deliver(RawSocket socket) {
    checkStrand();
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
}

void ListenerEngine::pause(const std::string& reason) {
    checkStrand();
    if (!paused_) {
        paused_ = true;
        reportPause(NetError{reason});
    }
    if (!resumeTimer_) resumeTimer_ = std::make_unique<asio::steady_timer>(binding().strand());
    resumeTimer_->expires_after(kShortagePause);
    resumeTimer_->async_wait(asio::bind_executor(
        binding().strand(), [self = shared_from_this()](const std::error_code& error) {
            if (!error && self->phase_ == Phase::ready) self->acceptNext();
        }));
}

void ListenerEngine::reportPause(std::optional<NetError> reason) {
    checkStrand();
    binding().deliver([weak = weak_from_this(), reason = std::move(reason)] {
        auto self = weak.lock();
        if (!self) return;
        Listener::PauseHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->pauseHandler_;
        }
        if (handler) handler(reason);
    });
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
    if (resumeTimer_) resumeTimer_->cancel();
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
