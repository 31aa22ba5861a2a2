// The scheduler is the only clock of the emulated world: these tests pin the order in which it
// runs events, how far it moves the clock, and that the seed alone decides what the seed may
// decide.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/sim/rng.h"
#include "host/sim/scheduler.h"

namespace {

using host::sim::Phase;
using host::sim::Rng;
using host::sim::Scheduler;
using host::sim::TimeUs;

// Records which events ran and the clock each one saw.
struct Log {
    std::vector<std::string> names;
    std::vector<TimeUs> times;
    std::function<void()> Mark(Scheduler& s, std::string name) {
        return [this, &s, name] {
            names.push_back(name);
            times.push_back(s.Now());
        };
    }
};

// The order in which `count` internal events scheduled for one instant run under `seed`.
std::vector<int> SameInstantOrder(uint64_t seed, int count) {
    Scheduler s(seed);
    std::vector<int> order;
    for (int i = 0; i < count; ++i) s.At(100, [&order, i] { order.push_back(i); });
    s.RunUntil(100);
    return order;
}

TEST(SchedulerOrder, RunsEventsByTimeAndMovesTheClockToEach) {
    Scheduler s(1);
    Log log;
    s.At(30, log.Mark(s, "c"));
    s.At(10, log.Mark(s, "a"));
    s.At(20, log.Mark(s, "b"));
    s.RunUntil(1000);
    EXPECT_EQ(log.names, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(log.times, (std::vector<TimeUs>{10, 20, 30}));
    EXPECT_EQ(s.EventsRun(), 3u);
}

TEST(SchedulerOrder, ScenarioEventsRunBeforeInternalOnesDueTogetherAndKeepTheirOrder) {
    for (uint64_t seed : {1u, 2u, 3u, 77u}) {
        Scheduler s(seed);
        Log log;
        s.At(50, log.Mark(s, "internal-1"), Phase::Internal);
        s.At(50, log.Mark(s, "scenario-1"), Phase::Scenario);
        s.At(50, log.Mark(s, "internal-2"), Phase::Internal);
        s.At(50, log.Mark(s, "scenario-2"), Phase::Scenario);
        s.At(50, log.Mark(s, "scenario-3"), Phase::Scenario);
        s.At(49, log.Mark(s, "earlier-internal"), Phase::Internal);
        s.RunUntil(50);
        ASSERT_EQ(log.names.size(), 6u) << "seed " << seed;
        EXPECT_EQ(log.names[0], "earlier-internal");
        EXPECT_EQ(log.names[1], "scenario-1") << "seed " << seed;
        EXPECT_EQ(log.names[2], "scenario-2") << "seed " << seed;
        EXPECT_EQ(log.names[3], "scenario-3") << "seed " << seed;
        const std::set<std::string> rest(log.names.begin() + 4, log.names.end());
        EXPECT_EQ(rest, (std::set<std::string>{"internal-1", "internal-2"}));
    }
}

TEST(SchedulerOrder, SeedDecidesTheOrderOfInternalEventsDueTogether) {
    constexpr int kEvents = 8;
    const std::vector<int> first = SameInstantOrder(1, kEvents);
    // Whatever the order, every event runs exactly once.
    std::vector<int> sorted = first;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < kEvents; ++i) EXPECT_EQ(sorted[i], i);

    // One seed, one order, however often it is asked.
    EXPECT_EQ(SameInstantOrder(1, kEvents), first);
    EXPECT_EQ(SameInstantOrder(1, kEvents), first);

    // Other seeds give other orders.
    std::set<std::vector<int>> orders;
    for (uint64_t seed = 1; seed <= 10; ++seed) orders.insert(SameInstantOrder(seed, kEvents));
    EXPECT_GE(orders.size(), 5u);
}

// Work that schedules its events one at a time, each from the one before, with reserved
// tie-breaks runs in the order it would have had with every event scheduled at once, among
// other events due at the same instants, and leaves the stream where those calls would have.
TEST(SchedulerOrder, ReservedTiesOrderEventsScheduledOneAtATimeAsIfAllWereScheduledAtOnce) {
    constexpr int kSteps = 6;
    auto order = [&](uint64_t seed, bool oneAtATime) {
        Scheduler s(seed);
        std::vector<std::string> log;
        struct Stepper {
            Scheduler& s;
            std::vector<std::string>& log;
            host::sim::Rng ties;
            int steps;
            void Schedule(int i) {
                s.AtWithTie(100 * (i + 1), ties.Next(), [this, i] {
                    if (i + 1 < steps) Schedule(i + 1);
                    log.push_back("step" + std::to_string(i));
                });
            }
        };
        std::unique_ptr<Stepper> stepper;
        if (oneAtATime) {
            stepper.reset(new Stepper{s, log, s.ReserveTies(kSteps), kSteps});
            stepper->Schedule(0);
        } else {
            for (int i = 0; i < kSteps; ++i)
                s.At(100 * (i + 1), [&, i] { log.push_back("step" + std::to_string(i)); });
        }
        // Events due at the same instants as the steps, scheduled after them.
        for (int i = 0; i < kSteps; ++i)
            for (int k = 0; k < 3; ++k)
                s.At(100 * (i + 1), [&, i, k] { log.push_back(std::to_string(i) + "/" + std::to_string(k)); });
        s.RunUntil(10'000);
        return log;
    };
    std::set<std::vector<std::string>> orders;
    for (uint64_t seed : {1u, 2u, 3u, 4u, 5u, 77u}) {
        const auto eager = order(seed, false);
        EXPECT_EQ(order(seed, true), eager) << "seed " << seed;
        orders.insert(eager);
    }
    EXPECT_GE(orders.size(), 3u);  // the seeds really place the steps among the others
}

TEST(SchedulerOrder, EventsScheduledInThePastRunNowAndEventsAddedWhileRunningAreSeen) {
    Scheduler s(1);
    Log log;
    s.RunUntil(500);
    s.At(100, log.Mark(s, "late"));  // already past: due now
    s.At(600, [&] {
        log.names.push_back("outer");
        log.times.push_back(s.Now());
        s.After(0, log.Mark(s, "same-instant"));
        s.After(10, log.Mark(s, "after-10"));
    });
    s.RunUntil(700);
    EXPECT_EQ(log.names, (std::vector<std::string>{"late", "outer", "same-instant", "after-10"}));
    EXPECT_EQ(log.times, (std::vector<TimeUs>{500, 600, 600, 610}));
}

TEST(SchedulerCancel, CancelledEventNeverRunsAndCancelReportsWhetherItWasPending) {
    Scheduler s(1);
    Log log;
    const auto keep = s.At(10, log.Mark(s, "keep"));
    const auto drop = s.At(20, log.Mark(s, "drop"));
    EXPECT_TRUE(s.Pending(drop));
    EXPECT_TRUE(s.Cancel(drop));
    EXPECT_FALSE(s.Pending(drop));
    EXPECT_FALSE(s.Cancel(drop));
    s.RunUntil(100);
    EXPECT_EQ(log.names, (std::vector<std::string>{"keep"}));
    EXPECT_FALSE(s.Cancel(keep)) << "an event that ran is no longer pending";
    EXPECT_TRUE(s.Empty());
}

TEST(SchedulerRun, RunUntilRunsWhatIsDueUpToTheLimitInclusiveAndSetsTheClock) {
    Scheduler s(1);
    Log log;
    s.At(100, log.Mark(s, "at-limit"));
    s.At(101, log.Mark(s, "after-limit"));
    s.RunUntil(100);
    EXPECT_EQ(log.names, (std::vector<std::string>{"at-limit"}));
    EXPECT_EQ(s.Now(), 100u);
    EXPECT_EQ(s.NextDueTime(), 101u);

    s.RunUntil(5000);
    EXPECT_EQ(log.names.back(), "after-limit");
    EXPECT_EQ(s.Now(), 5000u) << "the clock reads the limit even when the last event was earlier";
    EXPECT_EQ(s.NextDueTime(), Scheduler::kNever);
}

TEST(SchedulerRun, RunWhileStopsAtTheEventThatEndsTheWait) {
    Scheduler s(1);
    bool done = false;
    int later = 0;
    s.At(300, [&] { done = true; });
    const auto after = s.At(400, [&] { ++later; });
    EXPECT_TRUE(s.RunWhile([&] { return !done; }, 10'000));
    EXPECT_EQ(s.Now(), 300u) << "the clock stops where the wait ended, not at the limit";
    EXPECT_EQ(later, 0);
    EXPECT_TRUE(s.Pending(after));
}

TEST(SchedulerRun, RunWhileReachingTheLimitSetsTheClockToIt) {
    Scheduler s(1);
    int ran = 0;
    s.At(200, [&] { ++ran; });
    s.At(2000, [&] { ++ran; });
    EXPECT_FALSE(s.RunWhile([] { return true; }, 1500));
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(s.Now(), 1500u);
}

TEST(SchedulerRun, RunWhileWithNothingLeftAndNoLimitLeavesTheClock) {
    Scheduler s(1);
    s.At(40, [] {});
    EXPECT_FALSE(s.RunWhile([] { return true; }, Scheduler::kNever));
    EXPECT_EQ(s.Now(), 40u);
    // A predicate that is already satisfied runs nothing.
    int ran = 0;
    s.At(50, [&] { ++ran; });
    EXPECT_TRUE(s.RunWhile([] { return false; }, Scheduler::kNever));
    EXPECT_EQ(ran, 0);
}

TEST(SchedulerGate, ClosedGateDefersEventsUntilReleasedThenTheyRunInOrder) {
    Scheduler s(1);
    Log log;
    bool open = false;
    auto gate = [&open] { return open; };
    s.At(10, log.Mark(s, "gated-1"), Phase::Scenario, gate);
    s.At(20, log.Mark(s, "gated-2"), Phase::Scenario, gate);
    s.At(30, log.Mark(s, "free"), Phase::Scenario);
    s.RunUntil(100);
    EXPECT_EQ(log.names, (std::vector<std::string>{"free"}));
    EXPECT_FALSE(s.Empty()) << "deferred events still count as work";
    EXPECT_EQ(s.PendingCount(), 0u);

    // A scenario event due at the release instant was scheduled after the deferred ones: they
    // keep their place ahead of it.
    s.At(100, log.Mark(s, "new-at-100"), Phase::Scenario);
    open = true;
    s.ReleaseDeferred();
    s.RunUntil(100);
    EXPECT_EQ(log.names,
              (std::vector<std::string>{"free", "gated-1", "gated-2", "new-at-100"}));
    EXPECT_EQ(log.times, (std::vector<TimeUs>{30, 100, 100, 100}));
    EXPECT_TRUE(s.Empty());
}

TEST(SchedulerGate, ReleasedEventMeetsItsGateAgain) {
    Scheduler s(1);
    int ran = 0;
    bool open = false;
    s.At(10, [&] { ++ran; }, Phase::Scenario, [&] { return open; });
    s.RunUntil(20);
    s.ReleaseDeferred();  // still closed: deferred once more
    s.RunUntil(30);
    EXPECT_EQ(ran, 0);
    open = true;
    s.ReleaseDeferred();
    s.RunUntil(40);
    EXPECT_EQ(ran, 1);
}

TEST(Random, OneSeedGivesOneSequenceAndOtherSeedsAnother) {
    Rng a(42), b(42), c(43);
    std::vector<uint64_t> sa, sb, sc;
    for (int i = 0; i < 16; ++i) {
        sa.push_back(a.Next());
        sb.push_back(b.Next());
        sc.push_back(c.Next());
    }
    EXPECT_EQ(sa, sb);
    EXPECT_NE(sa, sc);
    EXPECT_EQ(std::set<uint64_t>(sa.begin(), sa.end()).size(), sa.size());
}

TEST(Random, BoundedDrawsStayInTheirRangesAndReachBothEnds) {
    Rng r(7);
    bool sawLo = false, sawHi = false;
    for (int i = 0; i < 2000; ++i) {
        EXPECT_LT(r.Below(10), 10u);
        const uint64_t v = r.Between(3, 6);
        EXPECT_GE(v, 3u);
        EXPECT_LE(v, 6u);
        sawLo |= v == 3;
        sawHi |= v == 6;
        EXPECT_FALSE(r.Chance(0, 100));
        EXPECT_TRUE(r.Chance(100, 100));
    }
    EXPECT_TRUE(sawLo);
    EXPECT_TRUE(sawHi);
    EXPECT_EQ(r.Below(0), 0u);
}

}  // namespace
