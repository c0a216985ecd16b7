#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <variant>

#include "HostFixture.h"
#include "platform/net/Connection.h"

namespace caldrovex::test {

// A host whose listeners on 127.x addresses are real ones on loopback (at a port of the
// test's choosing, any free one by default, instead of 48725), while other addresses keep
// the fake listeners of HostFixture. The host's main queue stays virtual: the test runs it
// while it waits for the network.
class LoopbackHostFixture : public HostFixture {
protected:
    HostEnvironment environment() {
        auto environment = HostFixture::environment();
        environment.makeListener = [this](platform::net::Parameters parameters) {
            const auto* where =
                std::get_if<platform::net::HostPort>(&*parameters.requiredLocalEndpoint);
            if (!where || !where->host.starts_with("127.")) return listeners.make(parameters);
            const std::string address = where->host;
            parameters.requiredLocalEndpoint = platform::net::HostPort{address, loopbackPort};
            return real[address] = platform::net::makeListener(parameters);
        };
        return environment;
    }

    std::shared_ptr<HostModel> makeLoopbackHost() {
        settings->values["hostEnabled"] = true;
        host = HostModel::create(environment());
        host->onChange = [this] { ++changes; };
        settle();
        listenersReady();  // the fake ones
        return host;
    }

    // Runs the main queue until `done` holds; fails the test after 20 s of real time.
    [[nodiscard]] bool settleUntil(const char* what, const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "waiting for " << what;
                return false;
            }
            settle();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // The port the real listener on `address` is bound to.
    uint16_t portOf(const std::string& address) {
        auto bound = real.at(address)->localEndpoint();
        return bound ? std::get<platform::net::HostPort>(*bound).port : 0;
    }

    // A plain TCP connection from `source` to the real listener on `address`; it sends
    // nothing.
    asio::ip::tcp::socket& connectFrom(const std::string& source, const std::string& address) {
        auto client = std::make_unique<asio::ip::tcp::socket>(io);
        client->open(asio::ip::tcp::v4());
        client->bind({asio::ip::make_address(source), 0});
        client->connect({asio::ip::make_address(address), portOf(address)});
        clients.push_back(std::move(client));
        return *clients.back();
    }

    // Whether the host closed `client` (without waiting).
    static bool closedByHost(asio::ip::tcp::socket& client) {
        client.non_blocking(true);
        char byte = 0;
        std::error_code error;
        client.read_some(asio::buffer(&byte, 1), error);
        return error && error != asio::error::would_block;
    }

    // The port real listeners bind; 0 for any free one.
    uint16_t loopbackPort = 0;
    std::map<std::string, platform::net::ListenerPtr> real;
    asio::io_context io;
    std::vector<std::unique_ptr<asio::ip::tcp::socket>> clients;
};

}  // namespace caldrovex::test
