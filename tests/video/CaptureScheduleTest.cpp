// When change-driven capture takes pictures: each row is a sequence of changes at given
// times; the pictures the schedule asks for must come at the listed times.

#include <gtest/gtest.h>

#include <vector>

#include "video/CaptureSchedule.h"

namespace caldrovex {
namespace {

// Runs a capture loop on virtual time until `end`: changes happen at `changes`, and a
// picture is taken whenever the schedule says it is due. Returns the picture times.
std::vector<double> picturesTaken(int fps, const std::vector<double>& changes, double end) {
    CaptureSchedule schedule(fps);
    std::vector<double> taken;
    size_t next = 0;
    double now = 0;
    while (now <= end) {
        std::optional<double> wait = schedule.wait(now);
        double nextChange = next < changes.size() ? changes[next] : end + 1;
        if (wait && now + *wait <= nextChange) {
            now += *wait;
            schedule.taken(now);
            taken.push_back(now);
            continue;
        }
        if (nextChange > end) {
            break;
        }
        now = nextChange;
        schedule.changed();
        ++next;
    }
    return taken;
}

TEST(CaptureSchedule, TakesChangesAtOnceButNeverSoonerThanOneIntervalApart) {
    struct Case {
        const char* note;
        std::vector<double> changes;
        std::vector<double> expected;
    };
    // 10 fps: one picture per 0.1 s at most.
    const Case cases[] = {
        {"still screen: the first picture only", {}, {0}},
        {"a change after the interval is taken at once", {0.5}, {0, 0.5}},
        {"a change inside the interval waits for its end", {0.03}, {0, 0.1}},
        {"changes inside one interval make one picture", {0.02, 0.05, 0.08}, {0, 0.1}},
        {"a change just after a picture waits one interval", {0.5, 0.52}, {0, 0.5, 0.6}},
        {"continuous change runs at the frame rate", {0.01, 0.11, 0.21}, {0, 0.1, 0.2, 0.3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        std::vector<double> taken = picturesTaken(10, c.changes, 2.0);
        ASSERT_EQ(taken.size(), c.expected.size());
        for (size_t i = 0; i < taken.size(); ++i) {
            EXPECT_NEAR(taken[i], c.expected[i], 1e-9) << "picture " << i;
        }
    }
}

TEST(CaptureSchedule, WaitsForeverWithoutAChange) {
    CaptureSchedule schedule(30);
    EXPECT_EQ(schedule.wait(5.0), 0.0);  // the first picture is owed at once
    schedule.taken(5.0);
    EXPECT_FALSE(schedule.wait(100.0));
    schedule.changed();
    EXPECT_NEAR(*schedule.wait(5.01), 1.0 / 30 - 0.01, 1e-9);
    // A frame rate of 0 counts as 1.
    EXPECT_DOUBLE_EQ(CaptureSchedule(0).interval(), 1.0);
}

}  // namespace
}  // namespace caldrovex
