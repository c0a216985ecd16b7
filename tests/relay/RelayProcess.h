#pragma once

// The real caldrovex-relay on a free loopback port, with a state folder of its own, and links
// to it from the test process.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "net/LoopbackHarness.h"
#include "reach/RelayEndpoint.h"
#include "reach/RelayLink.h"
#include "support/ChildProcess.h"
#include "support/EventLog.h"

namespace caldrovex::test {

// Generous: a sanitizer build on a loaded machine makes its first certificate.
constexpr std::chrono::milliseconds kRelayStart{60'000};

inline std::string relayBinary(const std::string& name) {
    return std::string(CALDROVEX_BINARY_DIR) + "/bin/" + name;
}

class RelayProcess {
public:
    explicit RelayProcess(const std::vector<std::string>& extra = {},
                          std::shared_ptr<TempDir> state = std::make_shared<TempDir>())
        : state_(std::move(state)), process(relayBinary("caldrovex-relay"), arguments(extra), {}) {
        const auto listening = process.waitForPrefix("listening: ", 0, kRelayStart);
        const auto certificate = process.waitForPrefix("certificate: ", 0, kRelayStart);
        if (!listening || !certificate)
            throw std::runtime_error("the relay did not start:\n" + process.transcript());
        port = static_cast<uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
        hash = certificate->substr(std::string("certificate: ").size());
    }

    // Stops the relay as its owner would; a relay that does not end cleanly (a sanitizer
    // report, a crash) fails the test.
    ~RelayProcess() {
        process.signal(SIGTERM);
        const auto status = process.wait(kRelayStart);
        EXPECT_EQ(status, 0) << process.transcript();
    }

    // Where links go, pinned to the relay's own certificate.
    RelayEndpoint endpoint() const { return RelayEndpoint{"127.0.0.1", port, hash}; }
    const std::shared_ptr<TempDir>& state() const { return state_; }

private:
    std::vector<std::string> arguments(const std::vector<std::string>& extra) const {
        std::vector<std::string> all{"--listen", "127.0.0.1:0", "--state", state_->file("relay")};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }

    std::shared_ptr<TempDir> state_;

public:
    ChildProcess process;
    uint16_t port = 0;
    std::string hash;
};

using OutcomeLog = EventLog<RelayLink::Outcome>;

// A started link to `endpoint` and what it reports.
struct TestLink {
    std::shared_ptr<RelayLink> link;
    std::shared_ptr<OutcomeLog> log = OutcomeLog::make();

    TestLink(const RelayEndpoint& endpoint, RelayLink::Role role, std::vector<std::string> keys,
             const platform::QueuePtr& queue)
        : link(RelayLink::make(endpoint, role, std::move(keys), queue)) {
        link->onOutcome = log->callback();
        link->start();
    }
    ~TestLink() { link->cancel(); }

    RelayLink::Outcome next(size_t index) { return log->waitFor(index); }
    RelayLink::Outcome::Kind kindAt(size_t index) { return log->waitFor(index).kind; }
};

}  // namespace caldrovex::test
