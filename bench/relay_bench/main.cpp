// relay_bench: the figures of one caldrovex-relay instance on loopback.
//
//   relay_bench [--idle N] [--links N] [--window N] [--megabytes N] [--pings N]
//
// It starts the real relay (from the build's bin/) with no connection or per-source limit in
// the way, and drives it with RelayLinks from this process:
//   - memory: the relay's resident set before and after N more host links (two keys each, as
//     a host registers) wait at it, divided by N;
//   - new links per second: links opened with a window of W in flight, each counted once the
//     relay answered "WAIT" (TCP connect, TLS handshake, request line and reply), then closed;
//   - splice throughput: bytes a device link sends through the relay to a host link, both TLS
//     to the relay, against the same transfer over one direct TLS connection;
//   - added latency: round trips of 64 bytes device → host → device through the relay, against
//     a direct TLS connection; both sides answered by this process.
// Both programs share this machine's cores, so every figure is a lower bound for a relay on a
// machine of its own.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "net/LoopbackHarness.h"
#include "platform/SerialQueue.h"
#include "reach/RelayEndpoint.h"
#include "reach/RelayLink.h"
#include "support/ChildProcess.h"

using namespace caldrovex;
using namespace caldrovex::test;
using Clock = std::chrono::steady_clock;
using Kind = RelayLink::Outcome::Kind;

namespace {

struct Options {
    int idle = 2000;
    int links = 1000;
    int window = 32;
    int megabytes = 256;
    int pings = 2000;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (value <= 0) continue;
        if (name == "--idle") options.idle = value;
        if (name == "--links") options.links = value;
        if (name == "--window") options.window = value;
        if (name == "--megabytes") options.megabytes = value;
        if (name == "--pings") options.pings = value;
    }
    return options;
}

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

std::string key(int number) {
    char text[65];
    std::snprintf(text, sizeof text, "%064x", number);
    return text;
}

class Relay {
public:
    // Its log (a line per link) goes to /dev/null: nothing here reads it, and a full pipe
    // would stop the relay.
    explicit Relay(const std::filesystem::path& program)
        : process("/bin/sh",
                  {"-c", "exec \"$0\" \"$@\" 2>/dev/null", program.string(), "--listen",
                   "127.0.0.1:0", "--state", state.file("relay"), "--max-connections", "1000000",
                   "--per-source", "100000000"},
                  {}) {
        const auto listening = process.waitForPrefix("listening: ", 0, std::chrono::seconds(60));
        const auto certificate =
            process.waitForPrefix("certificate: ", 0, std::chrono::seconds(60));
        if (!listening || !certificate) throw std::runtime_error("the relay did not start");
        port = static_cast<uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
        hash = certificate->substr(13);
    }
    ~Relay() {
        process.signal(SIGTERM);
        process.wait(std::chrono::seconds(30));
    }

    RelayEndpoint endpoint() const { return {"127.0.0.1", port, hash}; }

    // Resident set of the relay process, in KiB.
    long residentKiB() const {
        std::ifstream status("/proc/" + std::to_string(process.pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
        return -1;
    }

    TempDir state;
    ChildProcess process;
    uint16_t port = 0;
    std::string hash;
};

// Counts the first outcome of many links, for waiting on a number of them.
class Tally {
public:
    std::function<void(RelayLink::Outcome)> callback() {
        auto reported = std::make_shared<std::atomic<bool>>(false);
        return [this, reported](RelayLink::Outcome outcome) {
            if (reported->exchange(true)) return;
            std::lock_guard lock(mutex_);
            (outcome.kind == Kind::waiting ? waiting_ : failed_) += 1;
            changed_.notify_all();
        };
    }
    // Waits until `count` links reported; returns how many of them failed.
    int waitFor(int count) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(120),
                               [&] { return waiting_ + failed_ >= count; }))
            throw std::runtime_error("links did not report in time");
        return failed_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0;
    int failed_ = 0;
};

std::shared_ptr<RelayLink> open(const Relay& relay, RelayLink::Role role,
                                std::vector<std::string> keys, const platform::QueuePtr& queue,
                                std::function<void(RelayLink::Outcome)> callback) {
    auto link = RelayLink::make(relay.endpoint(), role, std::move(keys), queue);
    link->onOutcome = std::move(callback);
    link->start();
    return link;
}

// Opens `count` host links, at most `window` at once in the handshake; they stay open.
std::vector<std::shared_ptr<RelayLink>> registerLinks(const Relay& relay, int first, int count,
                                                      int window, const platform::QueuePtr& queue) {
    Tally tally;
    std::vector<std::shared_ptr<RelayLink>> links;
    for (int i = 0; i < count; ++i) {
        if (i >= window) tally.waitFor(i - window + 1);
        links.push_back(open(relay, RelayLink::Role::host,
                             {key(2 * (first + i)), key(2 * (first + i) + 1)}, queue,
                             tally.callback()));
    }
    if (tally.waitFor(count) > 0) throw std::runtime_error("some links failed");
    return links;
}

void measureMemory(Relay& relay, const Options& options, const platform::QueuePtr& queue) {
    auto warm = registerLinks(relay, 0, 100, options.window, queue);
    const long before = relay.residentKiB();
    auto links = registerLinks(relay, 1000, options.idle, options.window, queue);
    const long after = relay.residentKiB();
    std::printf("idle links          %d waiting: %ld KiB -> %ld KiB, %.1f KiB per link\n",
                options.idle, before, after, double(after - before) / options.idle);
    for (auto& link : links) link->cancel();
    for (auto& link : warm) link->cancel();
}

void measureRate(Relay& relay, const Options& options, const platform::QueuePtr& queue) {
    const auto start = Clock::now();
    auto links = registerLinks(relay, 100000, options.links, options.window, queue);
    const double elapsed = seconds(Clock::now() - start);
    std::printf("new links           %d in %.2f s (%d in flight): %.0f links/s\n", options.links,
                elapsed, options.window, options.links / elapsed);
    for (auto& link : links) link->cancel();
}

// A device link and a host link the relay joined.
struct Pair {
    ConnectionPtr device;
    ConnectionPtr host;
    Bytes hostLeftover;
};

Pair pairThroughRelay(const Relay& relay, const platform::QueuePtr& queue) {
    const std::string hostKey = key(999999);
    auto hostOutcome = std::make_shared<std::promise<RelayLink::Outcome>>();
    auto waiting = std::make_shared<std::promise<void>>();
    auto host = open(relay, RelayLink::Role::host, {hostKey}, queue,
                     [hostOutcome, waiting](RelayLink::Outcome outcome) {
                         if (outcome.kind == Kind::waiting) return waiting->set_value();
                         hostOutcome->set_value(std::move(outcome));
                     });
    auto waited = waiting->get_future();
    await(waited, "the host link to wait");
    auto deviceOutcome = std::make_shared<std::promise<RelayLink::Outcome>>();
    auto device = open(relay, RelayLink::Role::device, {RelayEndpoint::rendezvous(hostKey)}, queue,
                       [deviceOutcome](RelayLink::Outcome outcome) {
                           deviceOutcome->set_value(std::move(outcome));
                       });
    auto deviceFuture = deviceOutcome->get_future();
    auto hostFuture = hostOutcome->get_future();
    auto deviceSide = await(deviceFuture, "the device to be paired");
    auto hostSide = await(hostFuture, "the host to be paired");
    if (deviceSide.kind != Kind::paired || hostSide.kind != Kind::paired)
        throw std::runtime_error("the links were not paired");
    return {deviceSide.connection, hostSide.connection, hostSide.leftover};
}

// A direct TLS connection on loopback, for comparison.
struct Direct {
    TestListener listener{tlsServerParameters(HostPort{"127.0.0.1", 0})};
    ConnectionPtr client;
    ConnectionPtr server;

    Direct() {
        listener.states->waitFor(StateKind::ready);
        Parameters parameters;
        parameters.tls = TlsOptions{};
        parameters.tcp.noDelay = true;
        client = makeConnection(*listener.listener->localEndpoint(), parameters);
        client->start(SerialQueue::make("caldrovex.bench.client"));
        server = listener.connection(0);
        server->start(SerialQueue::make("caldrovex.bench.server"));
    }
};

void readExactly(const ConnectionPtr& connection, size_t count) {
    size_t got = 0;
    while (got < count) {
        auto future = receiveFuture(connection, 1, std::min<size_t>(count - got, 1 << 20));
        auto result = await(future, "bytes");
        if (!result.data) throw std::runtime_error("the stream ended early");
        got += result.data->size();
    }
}

// MB/s of `megabytes` sent from `from` and read at `to`, four chunks of 64 KiB in flight.
double throughput(const ConnectionPtr& from, const ConnectionPtr& to, int megabytes) {
    const size_t total = size_t(megabytes) << 20;
    const Bytes chunk(64 * 1024, 0x5a);
    const auto start = Clock::now();
    std::thread reader([&] { readExactly(to, total); });
    std::vector<std::future<std::optional<NetError>>> inFlight;
    for (size_t sent = 0; sent < total; sent += chunk.size()) {
        if (inFlight.size() >= 4) {
            await(inFlight.front(), "a send");
            inFlight.erase(inFlight.begin());
        }
        inFlight.push_back(sendFuture(from, chunk));
    }
    reader.join();
    return megabytes / seconds(Clock::now() - start);
}

// Round trips of 64 bytes: `a` sends, `b` answers, `a` reads the answer. Microseconds, sorted.
std::vector<double> roundTrips(const ConnectionPtr& a, const ConnectionPtr& b, int count) {
    const Bytes ping(64, 0x21);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        a->send(ping, nullptr);
        readExactly(b, ping.size());
        b->send(ping, nullptr);
        readExactly(a, ping.size());
        times.push_back(seconds(Clock::now() - start) * 1e6);
    }
    std::sort(times.begin(), times.end());
    return times;
}

double percentile(const std::vector<double>& sorted, double p) {
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
}

void measureSplice(Relay& relay, const Options& options, const platform::QueuePtr& queue) {
    Direct direct;
    auto pair = pairThroughRelay(relay, queue);
    if (!pair.hostLeftover.empty()) throw std::runtime_error("unexpected leftover");

    roundTrips(direct.client, direct.server, 100);  // warm-up
    roundTrips(pair.device, pair.host, 100);
    const auto directTimes = roundTrips(direct.client, direct.server, options.pings);
    const auto relayTimes = roundTrips(pair.device, pair.host, options.pings);
    std::printf(
        "round trip 64 B     direct median %.0f µs p99 %.0f µs; through the relay median "
        "%.0f µs p99 %.0f µs: +%.0f µs per round trip (+%.0f µs one way)\n",
        percentile(directTimes, 0.5), percentile(directTimes, 0.99), percentile(relayTimes, 0.5),
        percentile(relayTimes, 0.99), percentile(relayTimes, 0.5) - percentile(directTimes, 0.5),
        (percentile(relayTimes, 0.5) - percentile(directTimes, 0.5)) / 2);

    const double directRate = throughput(direct.client, direct.server, options.megabytes);
    const double relayRate = throughput(pair.device, pair.host, options.megabytes);
    std::printf(
        "throughput          direct %.0f MB/s; through the relay %.0f MB/s (%d MB, "
        "device to host)\n",
        directRate, relayRate, options.megabytes);
    pair.device->cancel();
    pair.host->cancel();
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    const auto program = std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() /
                         "bin" / "caldrovex-relay";
    int status = 0;
    try {
        auto queue = SerialQueue::make("caldrovex.bench.links");
        Relay relay(program);
        std::printf("relay_bench: caldrovex-relay pid %d on 127.0.0.1:%u\n",
                    int(relay.process.pid()), relay.port);
        measureMemory(relay, options, queue);
        measureRate(relay, options, queue);
        measureSplice(relay, options, queue);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "relay_bench: %s\n", error.what());
        status = 1;
    }
    SerialQueue::shutdown();
    return status;
}
