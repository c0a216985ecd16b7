#pragma once

// Helpers for tests of the real network layer on loopback and unix paths: every wait is on
// real I/O and bounded, and a wait that runs out fails the test instead of hanging it.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/SerialQueue.h"
#include "platform/net/Connection.h"
#include "support/TestCertificate.h"

namespace caldrovex::test {

using namespace platform;
using namespace platform::net;

// Long enough for a loaded sanitizer build; never reached when things work.
constexpr auto kWait = std::chrono::seconds(20);

template <typename T>
T await(std::future<T>& future, const char* what) {
    if (future.wait_for(kWait) != std::future_status::ready) {
        throw std::runtime_error(std::string("timed out waiting for ") + what);
    }
    return future.get();
}

inline Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
inline std::string textOf(const std::optional<Bytes>& data) {
    return data ? std::string(data->begin(), data->end()) : std::string();
}

// Records the states a connection or listener reports and lets the test wait for one. Held
// by shared_ptr: the handler keeps the log alive for reports that arrive after the test.
class StateLog : public std::enable_shared_from_this<StateLog> {
public:
    static std::shared_ptr<StateLog> make() { return std::make_shared<StateLog>(); }

    Connection::StateHandler handler() {
        return [self = shared_from_this()](const State& state) {
            std::lock_guard lock(self->mutex_);
            self->states_.push_back(state);
            self->changed_.notify_all();
        };
    }

    // Waits until `kind` was reported; returns that state. Throws when it never comes.
    State waitFor(StateKind kind) {
        std::unique_lock lock(mutex_);
        const State* found = nullptr;
        bool seen = changed_.wait_for(lock, kWait, [&] {
            for (const auto& state : states_)
                if (state.kind == kind) found = &state;
            return found != nullptr;
        });
        if (!seen) throw std::runtime_error("timed out waiting for a state; saw " + describe(lock));
        return *found;
    }

    std::vector<StateKind> kinds() {
        std::lock_guard lock(mutex_);
        std::vector<StateKind> kinds;
        for (const auto& state : states_) kinds.push_back(state.kind);
        return kinds;
    }

private:
    std::string describe(std::unique_lock<std::mutex>&) const {
        std::string text;
        for (const auto& state : states_) {
            text += std::to_string(static_cast<int>(state.kind));
            if (state.error) text += "(" + state.error->description + ")";
            text += " ";
        }
        return text;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<State> states_;
};

struct Received {
    std::optional<Bytes> data;
    bool isComplete = false;
    std::optional<NetError> error;
};

inline std::future<Received> receiveFuture(const ConnectionPtr& connection, size_t minimum,
                                           size_t maximum) {
    auto promise = std::make_shared<std::promise<Received>>();
    connection->receive(
        minimum, maximum,
        [promise](std::optional<Bytes> data, bool isComplete, std::optional<NetError> error) {
            promise->set_value(Received{std::move(data), isComplete, std::move(error)});
        });
    return promise->get_future();
}

inline std::future<std::optional<NetError>> sendFuture(const ConnectionPtr& connection,
                                                       Bytes content) {
    auto promise = std::make_shared<std::promise<std::optional<NetError>>>();
    connection->send(std::move(content),
                     [promise](std::optional<NetError> error) { promise->set_value(error); });
    return promise->get_future();
}

// Reads from `connection` until `wanted` bytes came, or the stream ended.
inline std::string receiveText(const ConnectionPtr& connection, size_t wanted) {
    std::string text;
    while (text.size() < wanted) {
        auto future = receiveFuture(connection, 1, wanted - text.size());
        auto result = await(future, "bytes");
        text += textOf(result.data);
        if (result.isComplete || result.error) break;
    }
    return text;
}

// A private directory for unix socket paths, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "caldrovex-net-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Server-side parameters presenting the shared test certificate.
inline Parameters tlsServerParameters(Endpoint where) {
    Parameters parameters;
    parameters.tls = TlsOptions{TestCertificate::shared().identity(), {}, {}};
    parameters.requiredLocalEndpoint = std::move(where);
    return parameters;
}

// A started listener together with what it reports.
struct TestListener {
    struct Accepted {
        std::mutex mutex;
        std::vector<std::promise<ConnectionPtr>> promises{16};
        size_t count = 0;
    };

    ListenerPtr listener;
    std::shared_ptr<StateLog> states = StateLog::make();
    std::shared_ptr<Accepted> accepted = std::make_shared<Accepted>();
    std::vector<std::future<ConnectionPtr>> futures;

    explicit TestListener(const Parameters& parameters) : listener(makeListener(parameters)) {
        for (auto& promise : accepted->promises) futures.push_back(promise.get_future());
        listener->setStateHandler(states->handler());
        listener->setNewConnectionHandler([accepted = accepted](ConnectionPtr connection) {
            std::lock_guard lock(accepted->mutex);
            if (accepted->count < accepted->promises.size()) {
                accepted->promises[accepted->count++].set_value(std::move(connection));
            }
        });
        listener->start(SerialQueue::make("caldrovex.test.listener"));
    }
    ~TestListener() { listener->cancel(); }

    // The `index`-th accepted connection (0-based), as handed over: unstarted.
    ConnectionPtr connection(size_t index) {
        return await(futures.at(index), "an accepted connection");
    }
};

}  // namespace caldrovex::test
