#pragma once

#include <asio/io_context.hpp>
#include <asio/ssl/context.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace caldrovex::test {

// Crowds of connections that take places in a host's intake and never say a word, from many
// loopback source addresses (127.x, never 127.0.0.1, which devices come from), run on a
// thread of their own until stopped. Bounded in count: each crowd opens at most
// `maxAttempts` connections in all.
//
// A connection the host closes within kRefusedWithin of being opened counts as refused (the
// intake refuses at once); one it closes later was held for a while and then dropped (its
// deadline passed, or a newcomer displaced it).
class LoopbackAttack {
public:
    static constexpr std::chrono::milliseconds kRefusedWithin{500};

    enum class Kind {
        silentTcp,  // TCP only: not a byte of TLS
        silentTls,  // the TLS handshake, then nothing
    };
    struct Crowd {
        std::string name;
        Kind kind = Kind::silentTcp;
        std::vector<std::string> sources;
        // Connections each source keeps open.
        int perSource = 1;
        // Open a new connection whenever the host closes one, after `reopenDelay`.
        bool reopen = true;
        int maxAttempts = 1000;
        std::chrono::milliseconds reopenDelay{0};
    };
    struct Figures {
        int opened = 0;   // connections that reached the host
        int failed = 0;   // connects that failed
        int refused = 0;  // closed by the host at once
        int dropped = 0;  // closed by the host after holding them
        int open = 0;     // open now
    };

    LoopbackAttack(std::string address, uint16_t port, std::vector<Crowd> crowds);
    ~LoopbackAttack();
    LoopbackAttack(const LoopbackAttack&) = delete;
    LoopbackAttack& operator=(const LoopbackAttack&) = delete;

    void start();
    // Closes every connection and stops opening new ones.
    void stop();
    // Per crowd, in the order given.
    std::vector<Figures> figures() const;
    // Every crowd has opened as many connections as it keeps, at least once.
    bool everyCrowdArrived() const;

    const std::vector<Crowd>& crowds() const { return crowds_; }

private:
    struct Attempt;
    void open(size_t crowd, const std::string& source);
    void connected(const std::shared_ptr<Attempt>& attempt);
    void closed(const std::shared_ptr<Attempt>& attempt, bool reachedHost);

    const std::string address_;
    const uint16_t port_;
    const std::vector<Crowd> crowds_;
    asio::ssl::context tls_;
    asio::io_context io_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::vector<Figures> figures_;             // guarded by mutex_
    std::vector<int> attempts_;                // guarded by mutex_
    bool stopping_ = false;                    // guarded by mutex_
    std::set<std::shared_ptr<Attempt>> live_;  // the io thread's own
};

}  // namespace caldrovex::test
