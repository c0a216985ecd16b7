#include "platform/net/ConnectionEngine.h"

#include <algorithm>
#include <asio/bind_executor.hpp>
#include <asio/post.hpp>

#include "platform/CaldrovexError.h"
#include "platform/QueueAssert.h"

namespace caldrovex::platform::net {

namespace {

// Bytes asked of the transport per read when the receive at hand needs fewer: enough for a
// burst of TLS records at once, small enough that an idle connection holds little.
constexpr size_t kReadChunk = 64 * 1024;
// The most asked of the transport per read while a large receive fills up: bounds the buffer a
// connection keeps after an 8 MiB video packet went through it.
constexpr size_t kMaxReadChunk = 1024 * 1024;

NetError systemError(std::errc code) {
    return NetError{std::make_error_code(code).message()};
}

const std::string kCertificateRejected = "The server's certificate was rejected.";

}  // namespace

std::shared_ptr<ConnectionEngine> ConnectionEngine::outgoing(Endpoint to, Parameters parameters) {
    return std::make_shared<ConnectionEngine>(std::move(parameters), std::move(to), std::nullopt,
                                              nullptr);
}

std::shared_ptr<ConnectionEngine> ConnectionEngine::accepted(RawSocket socket,
                                                             Parameters parameters,
                                                             TlsContext::Ptr serverTls) {
    // Known from the moment of acceptance: the host's intake limits each remote host before
    // the connection starts.
    std::optional<Endpoint> remote;
    if (auto* tcp = std::get_if<TcpSocket>(&socket)) {
        std::error_code error;
        auto endpoint = tcp->remote_endpoint(error);
        if (!error) remote = HostPort{endpoint.address().to_string(), endpoint.port()};
    }
    auto engine = std::make_shared<ConnectionEngine>(std::move(parameters), std::nullopt,
                                                     std::move(socket), std::move(serverTls));
    engine->remote_ = std::move(remote);
    return engine;
}

ConnectionEngine::ConnectionEngine(Parameters parameters, std::optional<Endpoint> destination,
                                   std::optional<RawSocket> accepted, TlsContext::Ptr tls)
    : parameters_(std::move(parameters)),
      destination_(std::move(destination)),
      isServer_(accepted.has_value()),
      tls_(std::move(tls)),
      acceptedSocket_(std::move(accepted)) {
    // Known from the moment of accept, so that whoever takes the connection can tell peers
    // apart before starting it.
    if (acceptedSocket_) remote_ = remoteEndpointOf(*acceptedSocket_);
}

// ---- Any thread ------------------------------------------------------------------------------

void ConnectionEngine::run(Command command) {
    std::lock_guard lock(mutex_);
    if (!binding_) return held_.push_back(std::move(command));
    // Posting under the lock keeps commands in call order across threads.
    asio::post(binding_->strand(),
               [self = shared_from_this(), command = std::move(command)] { command(*self); });
}

void ConnectionEngine::setStateHandler(Connection::StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

State ConnectionEngine::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void ConnectionEngine::start(QueuePtr queue) {
    std::lock_guard lock(mutex_);
    if (binding_ || !queue) return;
    binding_.emplace(std::move(queue));
    auto self = shared_from_this();
    // Work asked for before start goes first, so a cancel made before start wins over dialling.
    for (auto& command : held_) {
        asio::post(binding_->strand(), [self, command = std::move(command)] { command(*self); });
    }
    held_.clear();
    asio::post(binding_->strand(), [self] { self->begin(); });
}

void ConnectionEngine::send(Bytes content, Connection::SendCompletion completion,
                            bool endOfStream) {
    run([send = PendingSend{std::move(content), endOfStream, std::move(completion)}](
            ConnectionEngine& self) mutable { self.enqueueSend(std::move(send)); });
}

void ConnectionEngine::receive(size_t minimum, size_t maximum,
                               Connection::ReceiveCompletion completion) {
    run([minimum, maximum, completion = std::move(completion)](ConnectionEngine& self) mutable {
        self.enqueueReceive(minimum, maximum, std::move(completion));
    });
}

void ConnectionEngine::cancel() {
    {
        std::lock_guard lock(mutex_);
        // Before start there is no strand yet; the state reads cancelled at once regardless.
        if (!binding_ && state_.kind == StateKind::setup)
            state_ = State{StateKind::cancelled, std::nullopt};
    }
    run([](ConnectionEngine& self) { self.doCancel(); });
}

std::optional<Endpoint> ConnectionEngine::remoteEndpoint() const {
    std::lock_guard lock(mutex_);
    return remote_;
}

std::vector<CertificateDer> ConnectionEngine::peerCertificates() const {
    std::lock_guard lock(mutex_);
    return peerCertificates_;
}

// ---- Establishing ----------------------------------------------------------------------------

void ConnectionEngine::begin() {
    checkStrand();
    if (phase_ != Phase::idle) return;
    phase_ = Phase::preparing;
    setState(State{StateKind::preparing, std::nullopt});
    if (parameters_.tcp.connectionTimeout > 0) {
        timer_ = std::make_unique<asio::steady_timer>(
            binding().strand(), std::chrono::seconds(parameters_.tcp.connectionTimeout));
        timer_->async_wait(asio::bind_executor(
            binding().strand(), [self = shared_from_this()](const std::error_code& error) {
                if (!error) self->onTimeout();
            }));
    }
    if (acceptedSocket_) {
        stream_ = std::make_unique<ByteStream>(binding().strand(), std::move(*acceptedSocket_),
                                               tls_, true);
        acceptedSocket_.reset();
        return onConnected({});
    }
    try {
        if (parameters_.tls) tls_ = TlsContext::makeClient();
        dial(*destination_);
    } catch (const std::system_error& error) {  // an unusable address or an OpenSSL setup failure
        fail(error.code().message());
    } catch (const CaldrovexError& error) {  // the TLS profile could not be set up
        fail(error.message());
    }
}

void ConnectionEngine::dial(const Endpoint& to) {
    checkStrand();
    auto self = shared_from_this();
    const auto& strand = binding().strand();
    if (const auto* unix = std::get_if<UnixPath>(&to)) {
        stream_ = std::make_unique<ByteStream>(
            strand, RawSocket(std::in_place_type<UnixSocket>, strand), tls_, false);
        stream_->connect(asio::local::stream_protocol::endpoint(unix->path),
                         [self](const std::error_code& error) { self->onConnected(error); });
        return;
    }
    const auto& hostPort = std::get<HostPort>(to);
    stream_ = std::make_unique<ByteStream>(strand, RawSocket(std::in_place_type<TcpSocket>, strand),
                                           tls_, false);
    resolver_ = std::make_unique<asio::ip::tcp::resolver>(strand);
    resolver_->async_resolve(
        hostPort.host, std::to_string(hostPort.port),
        asio::bind_executor(strand, [self](const std::error_code& error,
                                           asio::ip::tcp::resolver::results_type results) {
            if (self->phase_ != Phase::preparing) return;
            if (error) return self->fail(error.message());
            self->stream_->connect(
                results, [self](const std::error_code& error) { self->onConnected(error); });
        }));
}

void ConnectionEngine::onConnected(const std::error_code& error) {
    checkStrand();
    if (phase_ != Phase::preparing) return;
    if (error) return fail(error.message());
    if (auto optionError = stream_->applyTcpOptions(parameters_.tcp))
        return fail(optionError.message());
    if (!isServer_) {
        std::lock_guard lock(mutex_);
        remote_ = stream_->remoteEndpoint();
    }
    if (!stream_->isTls()) return becomeReady();
    std::string serverName = parameters_.tls ? parameters_.tls->serverName : std::string();
    stream_->handshake(serverName, [self = shared_from_this()](const std::error_code& error) {
        self->onHandshake(error);
    });
}

void ConnectionEngine::onHandshake(const std::error_code& error) {
    checkStrand();
    if (phase_ != Phase::preparing) return;
    if (error) return fail(error.message());
    auto chain = TlsContext::peerChain(stream_->ssl());
    {
        std::lock_guard lock(mutex_);
        peerCertificates_ = chain;
    }
    if (isServer_ || !parameters_.tls || !parameters_.tls->verify) return becomeReady();
    // The verdict comes from the owner's queue; the stream stays unused until it is back.
    binding().deliver(
        [weak = weak_from_this(), chain = std::move(chain), verify = parameters_.tls->verify] {
            auto self = weak.lock();
            if (!self) return;
            bool accepted = verify(chain);
            asio::post(self->binding().strand(), [self, accepted] { self->onVerified(accepted); });
        });
}

void ConnectionEngine::onVerified(bool accepted) {
    checkStrand();
    if (phase_ != Phase::preparing) return;
    if (!accepted) return fail(kCertificateRejected);
    becomeReady();
}

void ConnectionEngine::becomeReady() {
    checkStrand();
    phase_ = Phase::ready;
    if (timer_) timer_->cancel();
    setState(State{StateKind::ready, std::nullopt});
    pumpWrites();
    serviceReceives();
}

void ConnectionEngine::onTimeout() {
    checkStrand();
    if (phase_ == Phase::preparing) fail(systemError(std::errc::timed_out).description);
}

// ---- Sending ---------------------------------------------------------------------------------

void ConnectionEngine::enqueueSend(PendingSend send) {
    checkStrand();
    if (phase_ == Phase::ended) return deliverSend(std::move(send.completion), endError_);
    if (outputEnded_)
        return deliverSend(std::move(send.completion), systemError(std::errc::broken_pipe));
    if (send.endOfStream) outputEnded_ = true;
    sends_.push_back(std::move(send));
    pumpWrites();
}

void ConnectionEngine::pumpWrites() {
    checkStrand();
    if (phase_ != Phase::ready || writing_ || sends_.empty()) return;
    writing_ = std::move(sends_.front());
    sends_.pop_front();
    auto self = shared_from_this();
    if (writing_->endOfStream) {
        return stream_->endOutput([self](const std::error_code& error) { self->onWritten(error); });
    }
    stream_->write(asio::buffer(writing_->content),
                   [self](const std::error_code& error, size_t) { self->onWritten(error); });
}

void ConnectionEngine::onWritten(const std::error_code& error) {
    checkStrand();
    auto completion = std::move(writing_->completion);
    writing_.reset();
    if (phase_ == Phase::ended) {
        // Bytes fully written before the end still count as sent.
        return deliverSend(std::move(completion), error ? std::optional(endError_) : std::nullopt);
    }
    if (error) {
        deliverSend(std::move(completion), NetError{error.message()});
        return fail(error.message());
    }
    deliverSend(std::move(completion), std::nullopt);
    pumpWrites();
}

// ---- Receiving -------------------------------------------------------------------------------

void ConnectionEngine::enqueueReceive(size_t minimum, size_t maximum,
                                      Connection::ReceiveCompletion completion) {
    checkStrand();
    if (phase_ == Phase::ended)
        return deliverReceive(std::move(completion), std::nullopt, false, endError_);
    receives_.add(minimum, maximum, std::move(completion));
    serviceReceives();
}

// Answers waiting receives, oldest first, while the buffered bytes satisfy them; reads more
// only when one is waiting, so a slow owner holds back the peer through TCP.
void ConnectionEngine::serviceReceives() {
    checkStrand();
    if (phase_ != Phase::ready) return;
    auto needed = receives_.service([this](Connection::ReceiveCompletion completion,
                                           std::optional<Bytes> data, bool isComplete) {
        deliverReceive(std::move(completion), std::move(data), isComplete, std::nullopt);
    });
    if (needed) readMore(*needed, receives_.oldestMaximum());
}

void ConnectionEngine::readMore(size_t needed, size_t wanted) {
    checkStrand();
    if (reading_) return;
    reading_ = true;
    // A receive that takes whatever comes, and little of it (a reply line, a relay watching an
    // idle link), reads into a buffer of its own size: such connections wait long with a read
    // pending, and should hold little meanwhile. Exact reads keep the large buffer, which reads
    // ahead into what surely follows.
    const size_t least = needed < wanted && wanted < kReadChunk ? wanted : kReadChunk;
    readBuffer_.resize(std::clamp(needed - receives_.buffered(), least, kMaxReadChunk));
    stream_->readSome(asio::buffer(readBuffer_),
                      [self = shared_from_this()](const std::error_code& error, size_t count) {
                          self->onRead(error, count);
                      });
}

void ConnectionEngine::onRead(const std::error_code& error, size_t count) {
    checkStrand();
    reading_ = false;
    if (phase_ == Phase::ended) return;
    receives_.append(readBuffer_.data(), count);
    if (error) {
        if (!isEndOfStream(error)) return fail(error.message());
        receives_.endInput();
    }
    serviceReceives();
}

// ---- Ending ----------------------------------------------------------------------------------

void ConnectionEngine::fail(const std::string& description) {
    checkStrand();
    end(State{StateKind::failed, NetError{description}}, NetError{description});
}

void ConnectionEngine::doCancel() {
    checkStrand();
    if (cancelled_) return;
    cancelled_ = true;
    if (phase_ == Phase::ended) return setState(State{StateKind::cancelled, std::nullopt});
    end(State{StateKind::cancelled, std::nullopt}, systemError(std::errc::operation_canceled));
}

void ConnectionEngine::end(State state, NetError error) {
    checkStrand();
    if (phase_ == Phase::ended) return;
    bool orderly = phase_ == Phase::ready && !writing_;
    phase_ = Phase::ended;
    endError_ = error;
    if (timer_) timer_->cancel();
    if (resolver_) resolver_->cancel();
    if (stream_) stream_->close(orderly);
    acceptedSocket_.reset();
    // The write in flight completes through its own handler, aborted by the close.
    for (auto& send : sends_) deliverSend(std::move(send.completion), error);
    sends_.clear();
    for (auto& completion : receives_.takeWaiting())
        deliverReceive(std::move(completion), std::nullopt, false, error);
    setState(std::move(state));
}

// ---- Reporting -------------------------------------------------------------------------------

void ConnectionEngine::setState(State state) {
    checkStrand();
    {
        std::lock_guard lock(mutex_);
        state_ = state;
    }
    // The handler is looked up when the report runs: one removed meanwhile is not called.
    // Work for the owner's queue holds the engine weakly: the engine holds that queue, and a
    // queue that never runs its work must not keep both alive.
    binding().deliver([weak = weak_from_this(), state = std::move(state)] {
        auto self = weak.lock();
        if (!self) return;
        Connection::StateHandler handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->stateHandler_;
        }
        if (handler) handler(state);
    });
}

void ConnectionEngine::deliverSend(Connection::SendCompletion completion,
                                   std::optional<NetError> error) {
    checkStrand();
    if (!completion) return;
    binding().deliver(
        [completion = std::move(completion), error = std::move(error)] { completion(error); });
}

void ConnectionEngine::deliverReceive(Connection::ReceiveCompletion completion,
                                      std::optional<Bytes> data, bool isComplete,
                                      std::optional<NetError> error) {
    checkStrand();
    if (!completion) return;
    binding().deliver([completion = std::move(completion), data = std::move(data), isComplete,
                       error = std::move(error)] { completion(data, isComplete, error); });
}

void ConnectionEngine::checkStrand(const char* function, const char* file, unsigned line) const {
    assertOnStrand(binding().strand(), "connection strand", function, file, line);
}

}  // namespace caldrovex::platform::net
