// caldrovex-relay: a relay service for development, tests and self-hosting. See
// RelayOptions::usage for the command line and RelayService for what it does.

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <stdexcept>

#include "platform/Clock.h"
#include "platform/SerialQueue.h"
#include "tools/relay/RelayCertificate.h"
#include "tools/relay/RelayOptions.h"
#include "tools/relay/RelayService.h"

using namespace caldrovex;
using namespace caldrovex::relay;

namespace {

void log(const std::string& line) {
    std::fprintf(stderr, "caldrovex-relay: %s\n", line.c_str());
    std::fflush(stderr);
}

// Every waiting link is an open socket: take all the descriptors the system allows.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

RelayCertificate certificateFor(const RelayOptions& options) {
    if (options.certificateFile)
        return RelayCertificate::load(*options.certificateFile, *options.keyFile);
    return RelayCertificate::loadOrMake(options.stateFolder);
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<std::string> error;
    const auto options = RelayOptions::parse(argc, argv, error);
    if (error) {
        std::fprintf(stderr, "caldrovex-relay: %s\n\n%s", error->c_str(), RelayOptions::usage());
        return 2;
    }
    if (options.help) {
        std::fputs(RelayOptions::usage(), stdout);
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    // Blocked before any thread exists, so every thread inherits it and only sigwait below
    // takes the stop signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    RelayCertificate certificate;
    try {
        certificate = certificateFor(options);
    } catch (const std::runtime_error& failure) {
        log(failure.what());
        return 1;
    }

    auto queue = platform::SerialQueue::make("caldrovex.relay");
    auto service = RelayService::make(options.service, certificate.identity, queue,
                                      platform::SystemClock::shared(), log);
    std::atomic<int> status{0};
    service->onListening = [&status, hash = certificate.sha256, listen = options.service.listen](
                               std::optional<platform::net::HostPort> bound,
                               const std::string& failure) {
        if (!bound) {
            log("cannot listen on " + platform::net::describe(listen) + ": " + failure);
            status = 1;
            ::kill(::getpid(), SIGTERM);
            return;
        }
        std::printf("listening: %s\ncertificate: %s\n", platform::net::describe(*bound).c_str(),
                    hash.c_str());
        std::fflush(stdout);
    };
    queue->post([service] { service->start(); });

    int received = 0;
    sigwait(&stopSignals, &received);
    queue->sync([&] {
        const auto figures = service->figures();
        service->stop();
        log("stopped after " + std::to_string(figures.paired) + " session(s), " +
            std::to_string(figures.offline) + " offline answer(s), " +
            std::to_string(figures.refused) + " refusal(s)");
    });
    platform::SerialQueue::shutdown();
    return status;
}
