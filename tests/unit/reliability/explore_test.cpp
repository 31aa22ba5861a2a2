// Seeded exploration: each seed generates a scenario (traffic both ways with checkable frames,
// link flaps, resets, packet filters and multicast lists, queries, bus faults (failed, stalled,
// late and unanswered requests), a PHY port that never says done, negotiation that never
// completes, allocation faults, a shutdown or a vanished device now and then, halt at the end) and runs it against the
// invariants of ReliabilityRig, checked after every event. A failing seed prints the command
// that replays it alone, with the events it generated.
#include <gtest/gtest.h>


#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "host/sim/rng.h"
#include "tests/support/reliability_rig.h"
#include "tests/support/self_path.h"

namespace {

using testing_support::SelfPath;

using testing_support::ReliabilityRig;
using testing_support::RigOptions;
using testing_support::RigPhys;

struct SeedOutcome {
    bool failed = false;
    uint64_t checks = 0;
    uint64_t events = 0;
    uint64_t faults = 0;
    uint64_t calm = 0, quiet = 0;
    bool initFailed = false;
    std::string describe;
    std::vector<std::string> log;
};

constexpr NDIS_OID kQueries[] = {OID_GEN_XMIT_OK,          OID_GEN_RCV_OK,
                                 OID_GEN_MEDIA_CONNECT_STATUS, OID_GEN_LINK_SPEED,
                                 OID_802_3_CURRENT_ADDRESS, OID_GEN_CURRENT_PACKET_FILTER,
                                 OID_GEN_SUPPORTED_LIST,
                                 OID_GEN_RCV_ERROR,         OID_802_3_PERMANENT_ADDRESS};

SeedOutcome ExploreSeed(uint64_t seed, unsigned cpus) {
    SeedOutcome out;
    host::sim::Rng rng(seed ^ 0x5EEDF00DULL);
    RigOptions options;
    const uint64_t pick = rng.Below(10);
    options.phys = pick < 5   ? RigPhys::EthernetAndPhone
                   : pick < 7 ? RigPhys::EthernetOnly
                   : pick < 8 ? RigPhys::KeepAlivePhone
                              : RigPhys::EthernetAndKeepAlivePhone;
    options.txDescriptors = rng.Chance(1, 2) ? 20 : static_cast<uint32_t>(rng.Between(2, 8));
    options.rxDescriptors = rng.Chance(1, 2) ? 20 : static_cast<uint32_t>(rng.Between(2, 8));
    options.cpus = cpus;
    ReliabilityRig rig(seed, options);
    auto log = [&](std::string line) {
        out.log.push_back("t=" + std::to_string(rig.world.NowUs() / 1000) + "ms " + line);
    };
    log("phys " + std::to_string(static_cast<int>(options.phys)) + ", tx " +
        std::to_string(options.txDescriptors) + ", rx " + std::to_string(options.rxDescriptors));

    // Now and then start-up itself meets a fault: it fails cleanly or goes on.
    const uint64_t startFault = rng.Below(10);
    if (startFault == 0) {
        const uint64_t nth = rng.Between(1, 60);
        const auto fault = rng.Chance(1, 2) ? host::usb::BusFaults::ControlFault::Stall
                                            : host::usb::BusFaults::ControlFault::Error;
        rig.Bus().Faults().ArmControl(fault, nth);
        log("start-up control fault at request " + std::to_string(nth));
        ++out.faults;
    } else if (startFault == 1) {
        const uint64_t nth = rng.Between(1, 150);
        rig.world.Faults().Arm(std::nullopt, nth);
        log("start-up allocation fault at allocation " + std::to_string(nth));
        ++out.faults;
    }
    const NDIS_STATUS init = rig.Initialize();
    rig.Bus().Faults().plans.clear();
    rig.world.Faults().Clear();
    if (init != NDIS_STATUS_SUCCESS) {
        log("initialise failed");
        rig.Expect(init == static_cast<NDIS_STATUS>(0xC000009AL) ||
                       init == NDIS_STATUS_FAILURE,
                   "initialise failed with an unexpected status");
        rig.Expect(rig.world.Kernel().ResourcesOf(rig.Adapter().id).empty(),
                   "a failed initialise left resources");
        rig.world.RunFor(2'000'000);
        rig.CheckNow("failed initialise");
    } else {
        const uint32_t events = static_cast<uint32_t>(rng.Between(15, 60));
        bool stopped = false;  // shut down or vanished: only traffic and halt may follow
        for (uint32_t e = 0; e < events; ++e) {
            ++out.events;
            const uint64_t what = rng.Below(100);
            if (what < 18) {
                const uint32_t n = static_cast<uint32_t>(rng.Between(1, 40));
                log("host sends " + std::to_string(n));
                rig.HostSends(n, static_cast<uint32_t>(rng.Below(1500)));
            } else if (what < 34) {
                const uint32_t n = static_cast<uint32_t>(rng.Between(1, 40));
                log("tester sends " + std::to_string(n));
                rig.TesterSends(n, static_cast<uint32_t>(rng.Below(1500)));
            } else if (what < 50) {
                const uint64_t us = rng.Between(1'000, 6'000'000);
                log("run " + std::to_string(us / 1000) + "ms");
                rig.Run(us);
            } else if (what < 56) {
                host::wire::Link& link = rng.Chance(2, 3) ? rig.Ethernet() : rig.Phone();
                const bool up = !link.Partner().up;
                log(link.Name() + (up ? " up" : " down"));
                rig.SetLink(link, up);
            } else if (what < 61) {
                if (stopped) continue;
                log("reset");
                rig.Reset();
            } else if (what < 66) {
                static constexpr uint32_t kBits[] = {0x01, 0x02, 0x04, 0x08, 0x20, 0x10, 0x1000};
                uint32_t filter = 0;
                for (uint32_t bit : kBits)
                    if (rng.Chance(1, 3)) filter |= bit;
                log("packet filter " + std::to_string(filter));
                const NDIS_STATUS s = rig.SetPacketFilter(filter);
                rig.Expect(s == NDIS_STATUS_SUCCESS || s == NDIS_STATUS_NOT_SUPPORTED,
                           "packet filter answered " + std::to_string(s));
            } else if (what < 70) {
                const uint32_t count = static_cast<uint32_t>(rng.Below(70));
                log("multicast list of " + std::to_string(count));
                const NDIS_STATUS s = rig.SetMulticastList(count);
                rig.Expect(s == (count <= 64 ? NDIS_STATUS_SUCCESS : NDIS_STATUS_MULTICAST_FULL),
                           "multicast list answered " + std::to_string(s));
            } else if (what < 74) {
                const NDIS_OID oid = kQueries[rng.Below(std::size(kQueries))];
                log("query " + std::to_string(oid));
                rig.Expect(rig.Query(oid) == NDIS_STATUS_SUCCESS, "query failed");
            } else if (what < 84) {
                ++out.faults;
                rig.Disrupted();
                using CF = host::usb::BusFaults::ControlFault;
                switch (rng.Below(11)) {
                    case 0:
                        // A read already waiting at the bus takes it at the next frame.
                        log("bulk-in error");
                        rig.Bus().FailBulkIn(1);
                        break;
                    case 1: {
                        const uint32_t n = static_cast<uint32_t>(rng.Between(1, 3));
                        log("bulk-out errors " + std::to_string(n));
                        rig.Bus().Faults().bulkOutErrors += n;
                        break;
                    }
                    case 2: {
                        const uint64_t nth = rng.Between(1, 12);
                        const bool stall = rng.Chance(1, 2);
                        log(std::string("control ") + (stall ? "stall" : "error") + " at " +
                            std::to_string(nth));
                        rig.Bus().Faults().ArmControl(
                            stall ? host::usb::BusFaults::ControlFault::Stall
                                  : host::usb::BusFaults::ControlFault::Error,
                            nth);
                        break;
                    }
                    case 3:
                        // The lower driver fails the next bulk request inside IofCallDriver and
                        // says so in its return value.
                        log("bulk request fails inside the call");
                        rig.Bus().Faults().irpCompleteError = true;
                        break;
                    case 4: {
                        // Late enough, now and then, to outlast a synchronous request's 10 s.
                        const uint64_t nth = rng.Between(1, 12);
                        const uint64_t ms = rng.Chance(1, 3) ? rng.Between(10'001, 12'000)
                                                             : rng.Between(1, 3'000);
                        log("control request " + std::to_string(nth) + " late by " +
                            std::to_string(ms) + "ms");
                        rig.Bus().Faults().ArmControl(CF::Late, nth, 1, ms * 1000);
                        break;
                    }
                    case 5: {
                        const uint64_t count = rng.Between(1, 3);
                        const uint64_t ms = rng.Between(1, 3'000);
                        log(std::to_string(count) + " bulk transfers late by " +
                            std::to_string(ms) + "ms");
                        rig.Bus().Faults().ArmBulk(CF::Late, 1, count, ms * 1000);
                        break;
                    }
                    case 6: {
                        const uint64_t nth = rng.Between(1, 12);
                        const uint64_t count = rng.Between(1, 3);
                        log(std::to_string(count) + " control requests never answered from " +
                            std::to_string(nth));
                        rig.Bus().Faults().ArmControl(CF::Silent, nth, count);
                        break;
                    }
                    case 7:
                        log("PHY port never done");
                        rig.Device().Faults().phyNeverDone = true;
                        break;
                    case 8: {
                        host::wire::Link& link = rng.Chance(2, 3) ? rig.Ethernet() : rig.Phone();
                        log(link.Name() + " negotiation never completes");
                        host::wire::PartnerSettings p = link.Partner();
                        p.anNeverCompletes = true;
                        link.Update(p);
                        break;
                    }
                    default: {
                        const auto kind = static_cast<host::sim::AllocKind>(
                            rng.Below(host::sim::kAllocKinds));
                        const uint64_t nth = rng.Between(1, 40);
                        log("allocation fault " +
                            std::string(host::sim::AllocKindName(kind)) + " #" +
                            std::to_string(nth));
                        rig.world.Faults().Arm(kind, nth, rig.Adapter().id);
                        break;
                    }
                }
            } else if (what < 92) {
                log("quiet");
                rig.Quiet("quiet point");
            } else if (what < 96) {
                // Long enough for every disruption to have settled.
                log("calm exchange after 25 s");
                rig.Run(25'000'000);
                rig.CalmExchange(static_cast<uint32_t>(rng.Between(5, 30)), "calm exchange");
            } else if (what < 98) {
                if (stopped) continue;
                log("shutdown");
                rig.Shutdown();
                stopped = true;
            } else {
                if (stopped) continue;
                log("device vanishes");
                rig.Vanish();
                stopped = true;
                ++out.faults;
            }
            if (rig.Failed()) break;
        }
        if (!rig.Failed()) {
            if (rng.Chance(1, 2)) {
                log("quiet before halt");
                rig.Quiet("before halt");
                if (rng.Chance(1, 3)) {
                    log("calm exchange after 25 s");
                    rig.Run(25'000'000);
                    rig.CalmExchange(20, "calm exchange before halt");
                }
            } else {
                // Halt in the middle of things: frames still going both ways, a poll cycle or
                // a media switch perhaps in flight.
                const uint32_t n = static_cast<uint32_t>(rng.Between(1, 30));
                log("halt amid " + std::to_string(n) + " frames each way");
                rig.HostSends(n, static_cast<uint32_t>(rng.Below(1500)));
                rig.TesterSends(n, static_cast<uint32_t>(rng.Below(1500)));
                rig.Run(rng.Below(5'000));
            }
            log("halt");
            rig.Halt();
        } else {
            rig.Halt();
        }
    }
    rig.world.Faults().Clear();
    out.failed = rig.Failed();
    out.checks = rig.Checks();
    out.calm = rig.CalmWindows();
    out.quiet = rig.QuietPoints();
    out.initFailed = init != NDIS_STATUS_SUCCESS;
    out.describe = rig.Describe();
    return out;
}

void ExploreRange(uint64_t first, uint64_t count, const char* filter, unsigned cpus = 1) {
    uint64_t seeds = 0, checks = 0, faults = 0, failures = 0, events = 0, calm = 0, quiet = 0;
    uint64_t initFailed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const SeedOutcome o = ExploreSeed(seed, cpus);
        ++seeds;
        checks += o.checks;
        faults += o.faults;
        events += o.events;
        calm += o.calm;
        quiet += o.quiet;
        initFailed += o.initFailed ? 1 : 0;
        if (o.failed) {
            ++failures;
            std::string events_;
            for (const auto& l : o.log) events_ += "  " + l + "\n";
            ADD_FAILURE() << "seed " << seed << " broke an invariant:\n"
                          << o.describe << "events:\n"
                          << events_ << "replay: NICSIM_EXPLORE_SEED=" << seed << " "
                          << SelfPath() << " --gtest_filter=" << filter;
            if (failures >= 5) break;
        }
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ explore  ] %u processor(s): %llu seeds from %llu (%llu failed start-up), %llu events, %llu faults, "
                "%llu quiet points, %llu calm windows, %llu invariant checks, %.1f s\n",
                cpus, static_cast<unsigned long long>(seeds), static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(initFailed), static_cast<unsigned long long>(events),
                static_cast<unsigned long long>(faults), static_cast<unsigned long long>(quiet),
                static_cast<unsigned long long>(calm), static_cast<unsigned long long>(checks), wall);
}

// NICSIM_EXPLORE_SEED runs one seed only (the replay of a failure).
std::optional<uint64_t> ReplaySeed() {
    const char* s = std::getenv("NICSIM_EXPLORE_SEED");
    if (s == nullptr || *s == 0) return std::nullopt;
    return std::strtoull(s, nullptr, 10);
}

TEST(Explore, ThousandSeedsKeepEveryInvariant) {
    if (const auto seed = ReplaySeed()) {
        ExploreRange(*seed, 1, "Explore.ThousandSeedsKeepEveryInvariant");
        return;
    }
    ExploreRange(1, 1000, "Explore.ThousandSeedsKeepEveryInvariant");
}

// NICSIM_EXPLORE_FIRST and NICSIM_EXPLORE_COUNT move the window of seeds (a longer hunt).
uint64_t EnvOr(const char* name, uint64_t fallback) {
    const char* s = std::getenv(name);
    return s == nullptr || *s == 0 ? fallback : std::strtoull(s, nullptr, 10);
}

void ExploreOn(unsigned cpus, uint64_t count, const char* filter) {
    if (const auto seed = ReplaySeed()) {
        ExploreRange(*seed, 1, filter, cpus);
        return;
    }
    ExploreRange(EnvOr("NICSIM_EXPLORE_FIRST", 1), EnvOr("NICSIM_EXPLORE_COUNT", count), filter,
                 cpus);
}

// The same scenarios with handlers, timer routines and completions interleaved on several
// processors as each seed says.
TEST(Explore, ThousandSeedsOnTwoProcessors) {
    ExploreOn(2, 1000, "Explore.ThousandSeedsOnTwoProcessors");
}

TEST(Explore, ThousandSeedsOnFourProcessors) {
    ExploreOn(4, 1000, "Explore.ThousandSeedsOnFourProcessors");
}

// Seeds a longer hunt on several processors once failed, each with what it found.
TEST(Explore, SeedsThatOnceFailedOnSeveralProcessors) {
    struct Case {
        uint64_t seed;
        unsigned cpus;
        const char* found;
    };
    static constexpr Case kCases[] = {
        // A send whose transfer was already passed down was refused because a failed read or a
        // reset changed the adapter's state on another processor meanwhile; the frame still
        // went on the wire.
        {8595, 2, "refused frame on the medium"},
        {10540, 2, "refused frame on the medium"},
        {1575, 4, "refused frame on the medium"},
        {14189, 4, "refused frame on the medium"},
        {15466, 4, "refused frame on the medium"},
    };
    for (const Case& c : kCases) {
        const SeedOutcome o = ExploreSeed(c.seed, c.cpus);
        std::string events;
        for (const auto& l : o.log) events += "  " + l + "\n";
        EXPECT_FALSE(o.failed) << "seed " << c.seed << " on " << c.cpus << " processors (once: "
                               << c.found << "):\n"
                               << o.describe << events;
    }
}

TEST(ExploreLong, HundredThousandSeedsOnTwoProcessors) {
    ExploreOn(2, 100000, "ExploreLong.HundredThousandSeedsOnTwoProcessors");
}

TEST(ExploreLong, HundredThousandSeedsOnFourProcessors) {
    ExploreOn(4, 100000, "ExploreLong.HundredThousandSeedsOnFourProcessors");
}

TEST(ExploreLong, HundredThousandSeedsKeepEveryInvariant) {
    if (const auto seed = ReplaySeed()) {
        ExploreRange(*seed, 1, "ExploreLong.HundredThousandSeedsKeepEveryInvariant");
        return;
    }
    ExploreRange(1, 100000, "ExploreLong.HundredThousandSeedsKeepEveryInvariant");
}

}  // namespace
