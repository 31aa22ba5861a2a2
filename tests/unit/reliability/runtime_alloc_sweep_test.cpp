// Low resources at run time: a story (traffic both ways, queries, a packet filter and a multicast
// list, link polls, a media switch there and back, a reset, halt) is run once to learn every
// allocation site it reaches (kind and calling routines), then once per site with that site's
// first allocation failing (at start-up for the sites start-up reaches, and again at its first
// use after start-up). Every run keeps the invariants of ReliabilityRig, reports the failure
// where it belongs and halts clean.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/reliability_rig.h"
#include "tests/support/shipped_image.h"

namespace {

using host::sim::AllocSite;
using testing_support::ReliabilityRig;
using testing_support::RigOptions;
using testing_support::RigPhys;

constexpr NDIS_STATUS kResources = static_cast<NDIS_STATUS>(0xC000009AL);

struct Injection {
    std::string context;  // the execution context the failed allocation was made in
    bool chainInFlight = false;
    bool shutdownBegun = false;
    uint64_t t_us = 0;
    size_t historyMark = 0;
};

// The story after start-up. Phases are cut by quiet points, where the rig checks what must hold
// at rest.
void Story(ReliabilityRig& rig, RigPhys phys) {
    rig.Run(4'000'000);
    rig.HostSends(30, 100);
    rig.TesterSends(30, 300);
    rig.Query(OID_GEN_XMIT_OK);
    rig.Query(OID_GEN_MEDIA_CONNECT_STATUS);
    rig.SetPacketFilter(0x0B);
    rig.SetMulticastList(3);
    rig.Run(3'000'000);
    rig.Quiet("traffic");
    if (phys == RigPhys::EthernetAndPhone) {
        rig.SetLink(rig.Ethernet(), false);
        rig.Run(25'000'000);
        rig.HostSends(10, 500);
        rig.TesterSends(10, 700);
        rig.Quiet("on the phone line");
        rig.SetLink(rig.Ethernet(), true);
        rig.SetLink(rig.Phone(), false);
        rig.Run(25'000'000);
    } else {
        rig.Run(9'000'000);  // keep-alive ticks, link polls
    }
    rig.Reset();
    rig.Run(4'000'000);
    rig.HostSends(10, 900);
    rig.TesterSends(10, 1100);
    rig.Quiet("after reset");
    rig.Run(21'000'000);
    rig.CalmExchange(10, "before halt");
    rig.SetPacketFilter(0x20);
}

struct SweepStats {
    size_t sites = 0, startUpSites = 0, runTimeSites = 0, runs = 0, injected = 0;
    size_t initFailed = 0, initSurvived = 0;
    size_t sendIrpFailures = 0;  // IRP sites that failed in MiniportSend
    std::map<std::string, size_t> byKind;
};

// Runs the story once with `site` failing at its first allocation, armed before start-up or
// after it.
void RunWithSiteFailing(uint64_t seed, RigOptions options, const AllocSite& site, bool atStart,
                        const std::string& name, SweepStats& stats) {
    SCOPED_TRACE(name + (atStart ? " (start-up)" : " (run time)"));
    ReliabilityRig rig(seed, options);
    std::optional<Injection> injection;
    rig.world.Faults().onInjected = [&](host::sim::AllocKind, const AllocSite*) {
        Injection in;
        in.context = rig.world.Kernel().CurrentContextName();
        in.t_us = rig.world.NowUs();
        in.historyMark = rig.HistoryMark();
        if (rig.Adapter().context != nullptr && rig.Running()) {
            in.chainInFlight = rig.Record().MediaBusy != 0;
            in.shutdownBegun = rig.Record().ShutdownBegun != 0;
        }
        injection = in;
    };
    if (atStart) rig.world.Faults().ArmSite(site);
    const NDIS_STATUS init = rig.Initialize();
    ++stats.runs;
    if (atStart) {
        ASSERT_TRUE(injection.has_value()) << "start-up no longer reaches the site";
        if (init != NDIS_STATUS_SUCCESS) {
            ++stats.initFailed;
            ++stats.injected;
            // Only the record's own allocation answers the allocator's status.
            EXPECT_TRUE(init == kResources || init == NDIS_STATUS_FAILURE) << init;
            EXPECT_TRUE(rig.world.Kernel().ResourcesOf(rig.Adapter().id).empty());
            EXPECT_EQ(rig.Bus().Outstanding(), 0u);
            EXPECT_EQ(rig.world.Ndis().ArmedTimers(rig.Adapter().id), 0u);
            rig.world.RunFor(2'000'000);
            rig.CheckNow("failed initialise");
            EXPECT_FALSE(rig.Failed()) << rig.Describe();
            rig.world.Faults().onInjected = nullptr;
            return;
        }
        ++stats.initSurvived;
    } else {
        ASSERT_EQ(init, NDIS_STATUS_SUCCESS);
        rig.world.Faults().ArmSite(site);
    }
    Story(rig, options.phys);
    const size_t afterStory = rig.HistoryMark();
    rig.Halt();
    rig.world.Faults().onInjected = nullptr;
    EXPECT_FALSE(rig.Failed()) << rig.Describe();
    if (!injection) {
        // A site reached only by the halt of the reference run is reached by this halt too.
        ADD_FAILURE() << "the site was not reached again";
        return;
    }
    ++stats.injected;
    if (injection->context == "MiniportSend" && site.kind == host::sim::AllocKind::Irp)
        ++stats.sendIrpFailures;
    // A send that could not get its IRP or queue entry is refused to NDIS; nothing else is.
    EXPECT_EQ(rig.FramesRefused(), injection->context == "MiniportSend" ? 1u : 0u)
        << "failed in " << injection->context;
    // A poll cycle whose step could not start ended there; polling went on.
    const bool beforeShutdown = injection->context != "MiniportHalt" && !injection->shutdownBegun;
    if (beforeShutdown && injection->historyMark < afterStory) {
        EXPECT_GT(rig.StatusReadsSince(injection->historyMark), 0u)
            << "no link poll after the fault in " << injection->context;
    }
}

void Sweep(uint64_t seed, RigOptions options, const char* label) {
    // The reference run: which sites start-up reaches, and which the rest of the story does.
    std::vector<AllocSite> startUp, runTime;
    {
        ReliabilityRig rig(seed, options);
        rig.world.Faults().TrackSites(true);
        ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
        for (const auto& s : rig.world.Faults().Sites()) startUp.push_back(s.site);
        const size_t atInit = rig.world.Faults().Sites().size();
        Story(rig, options.phys);
        rig.Halt();
        ASSERT_FALSE(rig.Failed()) << rig.Describe();
        // Run-time uses: every site reached after start-up, first use of each.
        std::vector<AllocSite> all;
        for (const auto& s : rig.world.Faults().Sites()) all.push_back(s.site);
        (void)atInit;
        // A site whose every use was at start-up is not failed again at run time.
        ReliabilityRig probe(seed, options);
        probe.world.Faults().TrackSites(true);
        ASSERT_EQ(probe.Initialize(), NDIS_STATUS_SUCCESS);
        std::map<AllocSite, uint64_t> atStart;
        for (const auto& s : probe.world.Faults().Sites()) atStart[s.site] = s.reached;
        for (const auto& s : rig.world.Faults().Sites()) {
            auto it = atStart.find(s.site);
            if (it == atStart.end() || s.reached > it->second) runTime.push_back(s.site);
        }
        probe.Halt();
    }
    SweepStats stats;
    std::map<AllocSite, bool> distinct;
    for (size_t i = 0; i < startUp.size(); ++i) {
        distinct[startUp[i]] = true;
        RunWithSiteFailing(seed, options, startUp[i], true,
                           std::string(label) + " start-up site " + std::to_string(i) + ": " +
                               host::sim::DescribeSite(startUp[i]),
                           stats);
    }
    for (size_t i = 0; i < runTime.size(); ++i) {
        distinct[runTime[i]] = true;
        RunWithSiteFailing(seed, options, runTime[i], false,
                           std::string(label) + " run-time site " + std::to_string(i) + ": " +
                               host::sim::DescribeSite(runTime[i]),
                           stats);
    }
    for (const auto& [site, _] : distinct) ++stats.byKind[std::string(host::sim::AllocKindName(site.kind))];
    std::printf("[ sweep    ] %s: %zu distinct allocation sites (%zu reached at start-up, %zu "
                "after it); %zu runs, %zu failures injected; start-up failed %zu, went on %zu\n",
                label, distinct.size(), startUp.size(), runTime.size(), stats.runs,
                stats.injected, stats.initFailed, stats.initSurvived);
    std::string kinds;
    for (const auto& [kind, n] : stats.byKind) kinds += " " + kind + " " + std::to_string(n);
    std::printf("[ sweep    ] %s sites by kind:%s\n", label, kinds.c_str());
    if (std::getenv("NICSIM_SWEEP_SITES") != nullptr) {
        for (const auto& s : runTime)
            std::printf("[ site     ] %s\n", host::sim::DescribeSite(s).c_str());
    }
    EXPECT_GT(stats.initFailed, 0u);
    EXPECT_GT(stats.initSurvived, 0u);
    EXPECT_GT(runTime.size(), 0u);
    // A send's own IRP is a site of its own, whose failure refuses that send.
    EXPECT_GT(stats.sendIrpFailures, 0u);
}

TEST(RuntimeAllocSweep, EverySiteOfAStoryWithAMediaSwitchFailsOnceAndIsSurvived) {
    RigOptions options;
    options.phys = RigPhys::EthernetAndPhone;
    Sweep(1, options, "ethernet and phone line");
}

// The seed decides where requests complete (inside IofCallDriver or later) and the order of
// events due together, so other seeds meet the same sites in other interleavings; fewer
// descriptors than frames make sends queue and run out.
TEST(RuntimeAllocSweep, OtherSeedsAndFewDescriptorsMeetTheSitesInOtherOrders) {
    RigOptions options;
    options.phys = RigPhys::EthernetAndPhone;
    options.txDescriptors = 3;
    options.rxDescriptors = 3;
    for (uint64_t seed : {2, 3, 977})
        Sweep(seed, options, ("three descriptors each way, seed " + std::to_string(seed)).c_str());
    options.phys = RigPhys::EthernetOnly;
    Sweep(65537, options, "ethernet alone, three descriptors each way");
}

// Every site failing once while handler calls, timer routines and completions interleave on
// processors.
TEST(RuntimeAllocSweep, EverySiteFailsOnceAndIsSurvivedOnTwoAndFourProcessors) {
    RigOptions options;
    options.phys = RigPhys::EthernetAndPhone;
    for (unsigned cpus : {2u, 4u}) {
        options.cpus = cpus;
        Sweep(1, options, (std::to_string(cpus) + " processors").c_str());
    }
}

// The shipped image's sites are its calls of the allocators, named by RVA and the link map's
// symbol; each fails once and is survived as the built-in driver's are.
TEST(RuntimeAllocSweep, EverySiteOfTheShippedImageFailsOnceAndIsSurvived) {
    NEED_SHIPPED_IMAGE();
    RigOptions options;
    options.phys = RigPhys::EthernetAndPhone;
    options.image = testing_support::ShippedImage().file;
    {
        ReliabilityRig rig(1, options);
        rig.world.Faults().TrackSites(true);
        ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
        ASSERT_FALSE(rig.world.Faults().Sites().empty());
        for (const auto& s : rig.world.Faults().Sites()) {
            const std::string d = host::sim::DescribeSite(s.site);
            EXPECT_NE(d.find("usbnic.sys RVA 0x"), std::string::npos) << d;
            EXPECT_EQ(d.find("outside"), std::string::npos) << d;
        }
        rig.Halt();
    }
    Sweep(1, options, "shipped image");
}

TEST(RuntimeAllocSweep, EverySiteOfAKeepAliveStoryFailsOnceAndIsSurvived) {
    RigOptions options;
    options.phys = RigPhys::KeepAlivePhone;
    options.txDescriptors = 4;
    Sweep(2, options, "keep-alive phone line");
}

}  // namespace
