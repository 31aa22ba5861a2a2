// USB faults: every control request of start-up stalled, failed or left unanswered; bulk-in and
// bulk-out errors while frames flow; asynchronous register requests of the link-poll and
// media-switch chains failing mid-chain; the device vanishing during traffic. Start-up fails
// cleanly or goes on; the adapter recovers through MiniportReset (a read outstanding again, the
// link poll polling again); halt always completes with nothing left behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/reliability_rig.h"

namespace {

using Fault = host::usb::BusFaults::ControlFault;
using testing_support::ReliabilityRig;
using testing_support::RigOptions;
using testing_support::RigPhys;

constexpr NDIS_STATUS kResources = static_cast<NDIS_STATUS>(0xC000009AL);

const char* FaultName(Fault f) {
    switch (f) {
        case Fault::Stall: return "stall";
        case Fault::Error: return "error";
        case Fault::Silent: return "no answer";
        default: return "none";
    }
}

RigOptions ThreePhys() {
    RigOptions o;
    o.phys = RigPhys::EthernetAndPhone;
    return o;
}

// After a reset the adapter reads again and polls again, and frames flow both ways.
void ExpectRecoveredByReset(ReliabilityRig& rig, const std::string& what) {
    SCOPED_TRACE(what);
    rig.Reset();
    rig.Run(50'000);
    const AdapterRecord& r = rig.Record();
    EXPECT_EQ(r.AdapterState, 12u);
    EXPECT_EQ(r.RxFreeList.Count + r.RxReadyList.Count + 1, r.RxDescriptorCount)
        << "no read outstanding after the reset";
    const size_t mark = rig.HistoryMark();
    rig.Run(25'000'000);
    EXPECT_GT(rig.StatusReadsSince(mark), 0u) << "the link poll did not run after the reset";
    const uint64_t seen = rig.FramesSeen(), indicated = rig.FramesIndicated();
    rig.CalmExchange(10, what.c_str());
    EXPECT_EQ(rig.FramesSeen() - seen, 10u);
    EXPECT_EQ(rig.FramesIndicated() - indicated, 10u);
}

// A request left unanswered fails start-up exactly when it comes before PHY discovery: the
// configuration, the node address, the EEPROM and the multicast hash are needed; discovery, the
// "AlivePara" write and the media restart are not worth failing start-up over.
TEST(StartUpControlFaults, EveryRequestStalledFailedOrUnansweredFailsStartUpCleanlyOrIsSurvived) {
    RigOptions options = ThreePhys();
    options.alivePara = 2;
    uint64_t requests = 0, lastNeeded = 0;
    {
        ReliabilityRig reference(1, options);
        host::trace::Recorder recorder(reference.world.Trace());
        ASSERT_EQ(reference.Initialize(), NDIS_STATUS_SUCCESS);
        requests = reference.Bus().Stats().control;
        const auto controls = recorder.Of("control");
        ASSERT_EQ(controls.size(), requests);
        bool alive = false;
        for (size_t i = 0; i < controls.size(); ++i) {
            if (controls[i]["bRequest"] == 0xF1 && controls[i]["wIndex"] == 0x08) lastNeeded = i + 1;
            alive = alive || (controls[i]["bRequest"] == 0xF1 && controls[i]["wIndex"] == 0x1C);
        }
        ASSERT_TRUE(alive) << "the \"AlivePara\" write";
        reference.Halt();
        ASSERT_FALSE(reference.Failed()) << reference.Describe();
    }
    ASSERT_GT(requests, 20u);
    ASSERT_GT(lastNeeded, 10u) << "the multicast hash write";
    uint64_t injected = 0, failed = 0, survived = 0;
    for (Fault fault : {Fault::Stall, Fault::Error, Fault::Silent}) {
        for (uint64_t k = 1; k <= requests; ++k) {
            SCOPED_TRACE(std::string(FaultName(fault)) + " at control request " + std::to_string(k));
            ReliabilityRig rig(1, options);
            rig.Bus().Faults().ArmControl(fault, k);
            const NDIS_STATUS status = rig.Initialize();
            const uint64_t hit = rig.Bus().Stats().faultsInjected;
            rig.Bus().Faults().plans.clear();
            injected += hit;
            if (fault == Fault::Silent) {
                EXPECT_EQ(status == NDIS_STATUS_SUCCESS, k > lastNeeded);
            }
            if (status != NDIS_STATUS_SUCCESS) {
                ++failed;
                EXPECT_EQ(status, kResources);
                EXPECT_EQ(hit, 1u) << "start-up failed with no fault injected";
                EXPECT_TRUE(rig.world.Kernel().ResourcesOf(rig.Adapter().id).empty());
                EXPECT_EQ(rig.Bus().Outstanding(), 0u);
                EXPECT_EQ(rig.world.Ndis().ArmedTimers(rig.Adapter().id), 0u);
                rig.world.RunFor(2'000'000);
                rig.CheckNow("failed initialise");
            } else {
                ++survived;
                // What start-up did without may leave the device deaf or mute (a register write
                // that never landed); the books accept what the device counts, nothing else.
                rig.Run(4'000'000);
                rig.HostSends(5, 100);
                rig.TesterSends(5, 200);
                rig.Quiet("after a survived start-up fault");
                rig.Halt();
            }
            EXPECT_FALSE(rig.Failed()) << rig.Describe();
        }
    }
    std::printf("[ usb      ] start-up: %llu control requests x 3 faults, %llu injected; start-up "
                "failed %llu, went on %llu\n",
                static_cast<unsigned long long>(requests), static_cast<unsigned long long>(injected),
                static_cast<unsigned long long>(failed), static_cast<unsigned long long>(survived));
    EXPECT_EQ(injected, 3 * requests);
    EXPECT_GT(failed, 0u);
    EXPECT_GT(survived, 0u);
}

TEST(RunTimeBusFaults, ABulkInErrorStopsReadingUntilAResetAndSendsFailMeanwhile) {
    ReliabilityRig rig(1, ThreePhys());
    ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
    rig.Run(25'000'000);
    rig.CalmExchange(10, "before the fault");
    rig.Bus().Faults().bulkInErrors = 1;
    rig.Disrupted();
    rig.TesterSends(3, 100);
    rig.Run(100'000);
    EXPECT_EQ(rig.Bus().Stats().faultsInjected, 1u);
    EXPECT_EQ(rig.Record().AdapterState, 18u);
    EXPECT_EQ(rig.Record().RxFreeList.Count, rig.Record().RxDescriptorCount)
        << "a read is outstanding after the failed one";
    // While the receive has failed, every send is refused.
    const uint64_t refused = rig.FramesRefused();
    rig.HostSends(2, 100);
    rig.Run(10'000);
    EXPECT_EQ(rig.FramesRefused() - refused, 2u);
    ExpectRecoveredByReset(rig, "after a bulk-in error");
    // The frames that waited in the device during the failure were indicated once the reset
    // let reading resume; none was lost.
    rig.Quiet("end");
    EXPECT_EQ(rig.FramesIndicated(), 23u);
    rig.Halt();
    EXPECT_FALSE(rig.Failed()) << rig.Describe();
}

TEST(RunTimeBusFaults, BulkOutErrorsLoseOnlyTheFramesTheyHit) {
    for (uint32_t errors : {1u, 3u, 7u}) {
        SCOPED_TRACE(std::to_string(errors) + " bulk-out errors");
        ReliabilityRig rig(1, ThreePhys());
        ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
        rig.Run(5'000'000);
        const ULONG xmitBefore = rig.Record().XmitOk;
        rig.Bus().Faults().bulkOutErrors = errors;
        rig.Disrupted();
        rig.HostSends(20, 300);
        rig.Quiet("after the errors");
        EXPECT_EQ(rig.Bus().Stats().faultsInjected, errors);
        // Every send was reported complete; the frames hit by an error never reached the
        // medium, the rest did, in order, and only they count as transmitted.
        EXPECT_EQ(rig.FramesRefused(), 0u);
        EXPECT_EQ(rig.FramesSeen(), 20u - errors);
        EXPECT_EQ(rig.Record().XmitOk - xmitBefore, 20u - errors);
        rig.Run(21'000'000);
        rig.CalmExchange(10, "after bulk-out errors");
        EXPECT_EQ(rig.FramesSeen(), 30u - errors);
        rig.Halt();
        EXPECT_FALSE(rig.Failed()) << rig.Describe();
    }
}

// The k-th control request after start-up fails while the link poll and the media switch run
// (the Ethernet link goes and comes back): the chain goes on or ends its cycle, polling goes on.
TEST(RunTimeBusFaults, AsynchronousRegisterRequestsFailingMidChainLeavePollingAlive) {
    uint64_t injected = 0, runs = 0;
    for (Fault fault : {Fault::Stall, Fault::Error, Fault::Silent}) {
        for (uint64_t k = 1; k <= 60; ++k) {
            SCOPED_TRACE(std::string(FaultName(fault)) + " at run-time control request " +
                         std::to_string(k));
            ReliabilityRig rig(3, ThreePhys());
            ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
            rig.Bus().Faults().ArmControl(fault, k);
            rig.Disrupted();
            rig.Run(4'000'000);
            rig.SetLink(rig.Ethernet(), false);
            rig.Run(30'000'000);
            rig.SetLink(rig.Ethernet(), true);
            rig.Run(30'000'000);
            rig.Quiet("after the media moves");
            const uint64_t hit = rig.Bus().Stats().faultsInjected;
            EXPECT_EQ(hit, 1u);
            injected += hit;
            ++runs;
            // Polling is alive without any help.
            const size_t mark = rig.HistoryMark();
            rig.Run(7'000'000);
            EXPECT_GT(rig.StatusReadsSince(mark), 0u) << "the link poll stopped";
            ExpectRecoveredByReset(rig, "after a failed chain request");
            rig.Halt();
            EXPECT_FALSE(rig.Failed()) << rig.Describe();
        }
    }
    std::printf("[ usb      ] run time: %llu chain requests failed in %llu runs\n",
                static_cast<unsigned long long>(injected), static_cast<unsigned long long>(runs));
}

TEST(DeviceVanishes, DuringTrafficEveryRequestFailsAndResetAndHaltStillComplete) {
    uint64_t runs = 0;
    for (uint64_t at : {0ull, 300ull, 1'100ull, 2'999ull, 3'002ull, 4'500ull, 9'000ull}) {
        for (bool resetAfter : {false, true}) {
            SCOPED_TRACE("vanish " + std::to_string(at) + " ms into traffic" +
                         (resetAfter ? ", then reset" : ""));
            ReliabilityRig rig(static_cast<uint64_t>(at) + 7, ThreePhys());
            ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
            rig.Run(3'000'000);
            rig.HostSends(30, 100);
            rig.TesterSends(30, 200);
            rig.Run(at * 1000);
            rig.Vanish();
            rig.HostSends(10, 400);
            rig.TesterSends(10, 500);
            rig.Run(10'000'000);
            // The read failed: reading stopped and sends are refused.
            EXPECT_EQ(rig.Record().AdapterState, 18u);
            if (resetAfter) {
                EXPECT_EQ(rig.Reset(), NDIS_STATUS_SUCCESS);
                rig.Run(10'000'000);
            }
            rig.Quiet("vanished");
            rig.Halt();
            ++runs;
            EXPECT_FALSE(rig.Failed()) << rig.Describe();
        }
    }
    std::printf("[ usb      ] device vanished in %llu runs\n", static_cast<unsigned long long>(runs));
}

}  // namespace
