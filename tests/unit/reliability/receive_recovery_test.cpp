// Faults the reliability runs found, each kept as a case of its own: a read that could not get
// its IRP (at start-up or while running) must not leave the adapter deaf; pipe aborts that could
// not go out at shutdown are made again at halt; once powered down, nothing starts a read.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "driver/datapath/receive.h"
#include "tests/support/reliability_rig.h"

namespace {

using host::sim::AllocSite;
using testing_support::ReliabilityRig;
using testing_support::RigOptions;
using testing_support::RigPhys;

RigOptions EthernetOnly() {
    RigOptions o;
    o.phys = RigPhys::EthernetOnly;
    o.rxDescriptors = 4;
    return o;
}

// The first site a tracked run reaches whose calling routines include `a`, one of the
// '|'-separated names in `b`, and not `without`. Which routines a site's few frames show depends
// on the build's inlining and tail calls (-O3 folds a routine into its caller, the sanitizer
// build tail-calls another away), so callers name every routine a build may show.
std::optional<AllocSite> FindSite(ReliabilityRig& rig, const std::string& a, const std::string& b,
                                  const std::string& without = "") {
    const auto hasAnyOf = [](const std::string& d, const std::string& names) {
        for (size_t at = 0; at <= names.size();) {
            const size_t bar = std::min(names.find('|', at), names.size());
            if (d.find(names.substr(at, bar - at)) != std::string::npos) return true;
            at = bar + 1;
        }
        return false;
    };
    std::string reached;
    for (const auto& s : rig.world.Faults().Sites()) {
        const std::string d = host::sim::DescribeSite(s.site);
        if (d.find(a) != std::string::npos && hasAnyOf(d, b) &&
            (without.empty() || d.find(without) == std::string::npos))
            return s.site;
        reached += "\n  " + d;
    }
    ADD_FAILURE() << "no allocation site under both " << a << " and " << b << "; the run reached:"
                  << reached;
    return std::nullopt;
}

void ExpectReadOutstanding(ReliabilityRig& rig) {
    const AdapterRecord& r = rig.Record();
    EXPECT_EQ(r.AdapterState, 12u);
    EXPECT_EQ(r.RxFreeList.Count + r.RxReadyList.Count + 1, r.RxDescriptorCount)
        << "no read outstanding";
}

TEST(ReceiveRecovery, AFirstReadWithoutAnIrpAtStartUpIsStartedOnceTheAdapterRuns) {
    std::optional<AllocSite> site;
    {
        ReliabilityRig reference(1, EthernetOnly());
        reference.world.Faults().TrackSites(true);
        ASSERT_EQ(reference.Initialize(), NDIS_STATUS_SUCCESS);
        site = FindSite(reference, "SubmitBulkIn", "RestartMedia");
        reference.Halt();
    }
    ASSERT_TRUE(site.has_value());
    ReliabilityRig rig(1, EthernetOnly());
    rig.world.Faults().ArmSite(*site);
    ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(rig.world.Faults().Injected(), 1u);
    rig.Run(50'000);
    ExpectReadOutstanding(rig);
    // Reception is seen to work, not only a read to be pending.
    rig.Run(25'000'000);
    rig.CalmExchange(10, "after start-up");
    EXPECT_EQ(rig.FramesIndicated(), 10u);
    rig.Halt();
    EXPECT_FALSE(rig.Failed()) << rig.Describe();
}

TEST(ReceiveRecovery, AReadWithoutAnIrpWhileRunningIsRetried) {
    // A frame with an error bit is dropped and its descriptor reads again at once, from the
    // completion: that read is the one that finds no IRP.
    std::optional<AllocSite> site;
    {
        ReliabilityRig reference(1, EthernetOnly());
        reference.world.Faults().TrackSites(true);
        ASSERT_EQ(reference.Initialize(), NDIS_STATUS_SUCCESS);
        reference.Run(5'000'000);
        reference.Device().PlanReceiveStatus(0x08);
        reference.TesterSends(1, 100);
        reference.Run(10'000);
        site = FindSite(reference, "SubmitBulkIn", "BulkInComplete");
        reference.Halt();
    }
    ASSERT_TRUE(site.has_value());
    ReliabilityRig rig(1, EthernetOnly());
    ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
    rig.Run(5'000'000);
    rig.world.Faults().ArmSite(*site);
    rig.Device().PlanReceiveStatus(0x08);
    rig.TesterSends(1, 100);
    rig.Run(3'000);
    ASSERT_EQ(rig.world.Faults().Injected(), 1u);
    EXPECT_EQ(rig.Record().RxFreeList.Count, rig.Record().RxDescriptorCount)
        << "the failed read should have left every descriptor idle";
    rig.Run(50'000);
    ExpectReadOutstanding(rig);
    rig.Run(25'000'000);
    const uint64_t before = rig.FramesIndicated();
    rig.CalmExchange(10, "after the failed read");
    EXPECT_EQ(rig.FramesIndicated() - before, 10u);
    rig.Halt();
    EXPECT_FALSE(rig.Failed()) << rig.Describe();
}

TEST(HaltRecovery, PipeAbortsThatCouldNotGoOutAtShutdownAreMadeAgainAtHalt) {
    std::optional<AllocSite> site;
    {
        ReliabilityRig reference(1, EthernetOnly());
        reference.world.Faults().TrackSites(true);
        ASSERT_EQ(reference.Initialize(), NDIS_STATUS_SUCCESS);
        reference.Run(5'000'000);
        reference.Halt();
        // The request block of power-down's pipe requests (resets and aborts), not of its
        // register writes.
        site = FindSite(reference, "request-block", "PowerDownDevice|ResetBulkPipes",
                        "WriteRegistersAsync");
    }
    ASSERT_TRUE(site.has_value());
    ReliabilityRig rig(1, EthernetOnly());
    ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
    rig.Run(5'000'000);
    rig.world.Faults().ArmSite(*site);
    // Halt (its shutdown) cannot abort the pipes the first time: the read outstanding must still
    // be ended before the record goes.
    rig.Halt();
    EXPECT_EQ(rig.world.Faults().Injected(), 1u);
    EXPECT_FALSE(rig.Failed()) << rig.Describe();
}

TEST(HaltRecovery, OncePoweredDownTheReceiveHandlerStartsNoRead) {
    RigOptions options = EthernetOnly();
    ReliabilityRig rig(1, options);
    ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
    rig.Run(5'000'000);
    rig.Shutdown();
    ASSERT_EQ(rig.Record().AdapterState, 14u);
    ASSERT_EQ(rig.Record().RxFreeList.Count, rig.Record().RxDescriptorCount);
    // A transmit descriptor coming back after the shutdown, once a send has found the list empty,
    // arms the receive timer: its handler runs with every receive descriptor idle.
    auto* record = static_cast<AdapterRecord*>(rig.Adapter().context);
    rig.world.Kernel().RunInContext("timer", DISPATCH_LEVEL, rig.Adapter().id, [&] {
        IndicateReceivedFrames(nullptr, record, nullptr, nullptr);
    });
    EXPECT_EQ(rig.Record().RxFreeList.Count, rig.Record().RxDescriptorCount);
    EXPECT_EQ(rig.Bus().Outstanding(), 0u) << "a read went down after shutdown";
    rig.Halt();
    EXPECT_FALSE(rig.Failed()) << rig.Describe();
}

}  // namespace
