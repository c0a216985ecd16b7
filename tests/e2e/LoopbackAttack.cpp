#include "e2e/LoopbackAttack.h"

#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>

namespace caldrovex::test {

struct LoopbackAttack::Attempt {
    Attempt(asio::io_context& io, asio::ssl::context& tls, size_t crowd, std::string source)
        : crowd(crowd), source(std::move(source)), stream(io, tls) {}

    size_t crowd;
    std::string source;
    asio::ssl::stream<asio::ip::tcp::socket> stream;
    std::chrono::steady_clock::time_point openedAt;
    char byte = 0;
    bool ended = false;
};

LoopbackAttack::LoopbackAttack(std::string address, uint16_t port, std::vector<Crowd> crowds)
    : address_(std::move(address)),
      port_(port),
      crowds_(std::move(crowds)),
      tls_(asio::ssl::context::tls_client),
      figures_(crowds_.size()),
      attempts_(crowds_.size(), 0) {
    // The host's certificate is not checked: these clients only want to hold a place.
    tls_.set_verify_mode(asio::ssl::verify_none);
}

LoopbackAttack::~LoopbackAttack() {
    stop();
}

void LoopbackAttack::start() {
    asio::post(io_, [this] {
        for (size_t crowd = 0; crowd < crowds_.size(); ++crowd) {
            for (const auto& source : crowds_[crowd].sources) {
                for (int i = 0; i < crowds_[crowd].perSource; ++i) open(crowd, source);
            }
        }
    });
    thread_ = std::thread([this] {
        auto work = asio::make_work_guard(io_);
        io_.run();
    });
}

void LoopbackAttack::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    if (!thread_.joinable()) return;
    asio::post(io_, [this] {
        for (const auto& attempt : live_) {
            std::error_code ignored;
            attempt->stream.next_layer().close(ignored);
        }
        live_.clear();
        io_.stop();
    });
    thread_.join();
    // The aborted operations of the closed connections end here, before anything goes.
    io_.restart();
    io_.run();
    std::lock_guard lock(mutex_);
    for (auto& figures : figures_) figures.open = 0;
}

std::vector<LoopbackAttack::Figures> LoopbackAttack::figures() const {
    std::lock_guard lock(mutex_);
    return figures_;
}

bool LoopbackAttack::everyCrowdArrived() const {
    std::lock_guard lock(mutex_);
    for (size_t crowd = 0; crowd < crowds_.size(); ++crowd) {
        const auto& c = crowds_[crowd];
        const auto& f = figures_[crowd];
        const int wanted =
            std::min(c.maxAttempts, c.perSource * static_cast<int>(c.sources.size()));
        if (f.opened + f.failed < wanted) return false;
    }
    return true;
}

void LoopbackAttack::open(size_t crowd, const std::string& source) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || attempts_[crowd] >= crowds_[crowd].maxAttempts) return;
        ++attempts_[crowd];
    }
    auto attempt = std::make_shared<Attempt>(io_, tls_, crowd, source);
    auto& socket = attempt->stream.next_layer();
    std::error_code error;
    socket.open(asio::ip::tcp::v4(), error);
    if (!error) socket.bind({asio::ip::make_address(source), 0}, error);
    if (error) return closed(attempt, false);
    live_.insert(attempt);
    socket.async_connect({asio::ip::make_address(address_), port_},
                         [this, attempt](const std::error_code& error) {
                             if (error) return closed(attempt, false);
                             connected(attempt);
                         });
}

void LoopbackAttack::connected(const std::shared_ptr<Attempt>& attempt) {
    attempt->openedAt = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex_);
        ++figures_[attempt->crowd].opened;
        ++figures_[attempt->crowd].open;
    }
    // Nothing is ever sent; the read ends when the host closes the connection.
    auto onEnd = [this, attempt](const std::error_code&, size_t) { closed(attempt, true); };
    if (crowds_[attempt->crowd].kind == Kind::silentTcp)
        return attempt->stream.next_layer().async_read_some(asio::buffer(&attempt->byte, 1), onEnd);
    attempt->stream.async_handshake(
        asio::ssl::stream_base::client, [this, attempt, onEnd](const std::error_code& error) {
            // A refused connection ends inside the handshake.
            if (error) return closed(attempt, true);
            attempt->stream.async_read_some(asio::buffer(&attempt->byte, 1), onEnd);
        });
}

void LoopbackAttack::closed(const std::shared_ptr<Attempt>& attempt, bool reachedHost) {
    if (attempt->ended) return;
    attempt->ended = true;
    live_.erase(attempt);
    std::error_code ignored;
    attempt->stream.next_layer().close(ignored);
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        auto& figures = figures_[attempt->crowd];
        if (!reachedHost) {
            ++figures.failed;
        } else {
            --figures.open;
            const auto held = std::chrono::steady_clock::now() - attempt->openedAt;
            ++(held < kRefusedWithin ? figures.refused : figures.dropped);
        }
    }
    const auto& crowd = crowds_[attempt->crowd];
    if (!crowd.reopen) return;
    if (crowd.reopenDelay.count() == 0) return open(attempt->crowd, attempt->source);
    auto timer = std::make_shared<asio::steady_timer>(io_, crowd.reopenDelay);
    timer->async_wait([this, timer, attempt](const std::error_code& error) {
        if (!error) open(attempt->crowd, attempt->source);
    });
}

}  // namespace caldrovex::test
