// Listeners keep within a budget of file descriptors: a reserve stays for the rest of the
// process, and a shortage pauses accepting instead of ending the listener.

#include "platform/net/DescriptorBudget.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "net/LoopbackHarness.h"

using namespace caldrovex::test;

namespace {

using Reading = DescriptorBudget::Reading;

// How many `take`s a fresh budget grants before it is spent, when each one opens a
// descriptor and nothing closes.
size_t grants(Reading start) {
    size_t granted = 0;
    DescriptorBudget budget([&] {
        return std::optional(Reading{start.limit, start.open + granted});
    });
    while (budget.take()) ++granted;
    return granted;
}

TEST(DescriptorBudget, KeepsAReserveOfTheLimit) {
    struct Case {
        const char* note;
        Reading reading;
        size_t granted;
    };
    const Case cases[] = {
        {"1024: an eighth (128) kept", {1024, 100}, 796},
        {"256: at least 64 kept", {256, 100}, 92},
        {"inside the reserve: nothing", {1024, 900}, 0},
        {"past the limit: nothing", {64, 80}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(grants(c.reading), c.granted);
    }
}

TEST(DescriptorBudget, ReadsAgainWhenHalfOfWhatIsLeftIsTaken) {
    Reading reading{1024, 96};  // 800 above the reserve
    int readings = 0;
    DescriptorBudget budget([&] {
        ++readings;
        return std::optional(reading);
    });
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(budget.take());
    EXPECT_EQ(readings, 1);
    // Meanwhile most connections closed: the next reading sees it.
    reading.open = 120;
    EXPECT_TRUE(budget.take());
    EXPECT_EQ(readings, 2);
    // A descriptor the system refused makes the budget read at the next take.
    budget.invalidate();
    reading.open = 1000;
    EXPECT_FALSE(budget.take());
    EXPECT_EQ(readings, 3);
    // Spent: every take reads, so accepting resumes once descriptors are free.
    reading.open = 100;
    EXPECT_TRUE(budget.take());
    EXPECT_EQ(readings, 4);
}

TEST(DescriptorBudget, WithoutAReadingItDoesNotLimit) {
    DescriptorBudget budget([] { return std::optional<Reading>(); });
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(budget.take());
}

TEST(DescriptorBudget, ProcessReadingCountsOpenDescriptors) {
    auto before = DescriptorBudget::readProcess();
    ASSERT_TRUE(before);
    std::vector<int> opened;
    for (int i = 0; i < 10; ++i) opened.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    auto after = DescriptorBudget::readProcess();
    for (int fd : opened) ::close(fd);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->open, before->open + 10);
    rlimit limits{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limits), 0);
    EXPECT_EQ(after->limit, limits.rlim_cur);
}

// Lowers the soft limit on open descriptors for its lifetime.
class SoftLimit {
public:
    explicit SoftLimit(rlim_t soft) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        ok_ = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~SoftLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

// Records the pause reports of a listener.
struct PauseLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<NetError>> reports;

    bool waitFor(size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kWait, [&] { return reports.size() >= count; });
    }
};

// Short of descriptors, the listener leaves connections in the backlog and tries again; once
// descriptors are free it takes them all. It never fails meanwhile.
//
// Three descriptors stay free below the lowered limit, far inside the budget's reserve: the
// sanitizers' own checks need a pipe now and then, and without one they report errors that
// are not there.
TEST(ListenerDescriptors, ShortagePausesAcceptingAndNeverEndsTheListener) {
    Parameters parameters;
    parameters.requiredLocalEndpoint = HostPort{"127.0.0.1", 0};
    TestListener listener(parameters);
    auto pauses = std::make_shared<PauseLog>();
    listener.listener->setPauseHandler([pauses](const std::optional<NetError>& reason) {
        std::lock_guard lock(pauses->mutex);
        pauses->reports.push_back(reason);
        pauses->changed.notify_all();
    });
    listener.states->waitFor(StateKind::ready);
    const auto port = std::get<HostPort>(*listener.listener->localEndpoint()).port;

    // Client sockets are made while descriptors are plentiful; connecting takes none more.
    asio::io_context io;
    std::vector<asio::ip::tcp::socket> clients;
    for (int i = 0; i < 3; ++i) clients.emplace_back(io).open(asio::ip::tcp::v4());
    {
        auto reading = DescriptorBudget::readProcess();
        ASSERT_TRUE(reading);
        SoftLimit few(reading->open + 3);
        ASSERT_TRUE(few.ok());
        // What the budget allowed under the old limit is forgotten: it reads the new one.
        DescriptorBudget::process().invalidate();
        for (auto& client : clients) client.connect({asio::ip::make_address("127.0.0.1"), port});
        ASSERT_TRUE(pauses->waitFor(1)) << "no pause reported";
        std::lock_guard lock(pauses->mutex);
        ASSERT_TRUE(pauses->reports.front().has_value());
        EXPECT_FALSE(pauses->reports.front()->description.empty());
    }
    for (size_t i = 0; i < clients.size(); ++i) EXPECT_NE(listener.connection(i), nullptr);
    ASSERT_TRUE(pauses->waitFor(2)) << "no resume reported";
    {
        std::lock_guard lock(pauses->mutex);
        EXPECT_FALSE(pauses->reports[1].has_value());
    }
    const auto kinds = listener.states->kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), StateKind::failed), 0);
}

}  // namespace
