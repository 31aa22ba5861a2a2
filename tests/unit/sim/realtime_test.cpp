// Real-time pacing of the scheduler: virtual time follows the wall clock, watched descriptors
// are served in the same loop, and a clock carried ahead by a blocking call is not made to wait
// for the wall to catch up. These tests run in wall time, so they keep to tens of milliseconds
// and bound only what a loaded machine cannot make late (events never run early).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "host/sim/scheduler.h"

namespace {

using host::sim::Scheduler;
using host::sim::TimeUs;
using Clock = std::chrono::steady_clock;

uint64_t ElapsedUs(Clock::time_point since) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count());
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
    int ReadEnd() const { return fds[0]; }
    void Put(char c) { EXPECT_EQ(write(fds[1], &c, 1), 1); }
};

TEST(RealTimePacing, EventsRunWhenTheWallClockReachesThemNotBefore) {
    Scheduler s(1);
    s.RunUntil(5'000'000);  // virtual time need not start at zero
    const TimeUs v0 = s.Now();
    const auto w0 = Clock::now();
    std::vector<std::pair<TimeUs, uint64_t>> ran;  // virtual due offset, wall offset when run
    for (TimeUs at : {10'000u, 30'000u, 60'000u})
        s.At(v0 + at, [&, at] { ran.emplace_back(at, ElapsedUs(w0)); });
    bool done = false;
    s.At(v0 + 80'000, [&] { done = true; });
    s.RunRealTime([&] { return !done; });
    ASSERT_EQ(ran.size(), 3u);
    for (const auto& [at, wall] : ran) {
        SCOPED_TRACE(at);
        EXPECT_GE(wall, at) << "an event ran before the wall clock reached its time";
        EXPECT_LT(wall, at + 2'000'000) << "pacing stalled";
    }
    EXPECT_GE(ElapsedUs(w0), 80'000u);
    EXPECT_GE(s.Now(), v0 + 80'000);
    EXPECT_FALSE(s.RealTime()) << "the mode ends with the loop";
}

TEST(RealTimePacing, AWatchedDescriptorIsServedAtTheTimeItBecameReadable) {
    Scheduler s(1);
    Pipe p;
    std::vector<TimeUs> servedAt;
    bool stop = false;
    s.WatchFd(p.ReadEnd(), {}, [&](short revents) {
        EXPECT_TRUE(revents & POLLIN);
        char c;
        while (read(p.ReadEnd(), &c, 1) == 1) servedAt.push_back(s.Now());
        EXPECT_TRUE(s.RealTime());
        if (servedAt.size() == 2) stop = true;
    });
    // Writes happen inside the world at 20 ms and 45 ms; the loop must notice each.
    s.At(20'000, [&] { p.Put('a'); });
    s.At(45'000, [&] { p.Put('b'); });
    s.At(2'000'000, [&] { stop = true; });  // a guard against a loop that never serves
    s.RunRealTime([&] { return !stop; });
    ASSERT_EQ(servedAt.size(), 2u);
    EXPECT_GE(servedAt[0], 20'000u);
    EXPECT_LT(servedAt[0], 45'000u + 1'000'000u);
    EXPECT_GE(servedAt[1], 45'000u);
}

TEST(RealTimePacing, ADescriptorWhoseInterestIsWithdrawnWaitsUntilItIsWantedAgain) {
    Scheduler s(1);
    Pipe p;
    p.Put('x');  // readable from the start
    bool wanted = false, stop = false;
    TimeUs servedAt = 0;
    s.WatchFd(
        p.ReadEnd(), [&]() -> short { return wanted ? POLLIN : 0; },
        [&](short) {
            char c;
            EXPECT_EQ(read(p.ReadEnd(), &c, 1), 1);
            servedAt = s.Now();
            stop = true;
        });
    s.At(30'000, [&] { wanted = true; });  // back-pressure released
    s.At(2'000'000, [&] { stop = true; });
    s.RunRealTime([&] { return !stop; });
    EXPECT_GE(servedAt, 30'000u) << "read while its reader said it had no room";
    EXPECT_LT(servedAt, 2'000'000u);
}

TEST(RealTimePacing, AClockCarriedAheadByABlockingCallDoesNotWaitForTheWall) {
    Scheduler s(1);
    const auto w0 = Clock::now();
    bool stop = false;
    // A passive handler that sleeps 10 virtual seconds runs them at once, as in virtual mode.
    s.At(1'000, [&] {
        s.RunUntil(s.Now() + 10'000'000);
        s.After(20'000, [&] { stop = true; });
    });
    s.At(12'000'000, [&] { stop = true; });  // a guard, two seconds after the jump
    s.RunRealTime([&] { return !stop; });
    EXPECT_GE(s.Now(), 10'021'000u);
    EXPECT_LT(ElapsedUs(w0), 2'000'000u) << "the loop waited for the wall to catch up";
}

TEST(RealTimePacing, DeterministicRunsAreUntouchedByAWatchOrASubstitutedWallClock) {
    // Watches and the wall clock matter only inside RunRealTime.
    auto order = [](bool withWatch) {
        Scheduler s(42);
        Pipe p;
        if (withWatch) {
            p.Put('z');
            s.WatchFd(p.ReadEnd(), {}, [](short) { ADD_FAILURE() << "served outside real time"; });
            s.SetWallClock([] { return uint64_t{0}; });
        }
        std::vector<int> seen;
        for (int i = 0; i < 8; ++i) s.At(100, [&seen, i] { seen.push_back(i); });
        s.RunUntil(1'000);
        EXPECT_EQ(s.Now(), 1'000u);
        return seen;
    };
    EXPECT_EQ(order(false), order(true));
}

}  // namespace
