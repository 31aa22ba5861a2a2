// A device that stops answering: every control request from some moment on is never answered
// (until the driver gives it up), or its PHY port never says done, or one answer comes seconds
// late. Reset and halt still end in a bounded virtual time, with nothing left below and nothing
// leaked, and what the driver reports of the link is what the device let it see.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/reliability_rig.h"

namespace {

using Fault = host::usb::BusFaults::ControlFault;
using testing_support::ReliabilityRig;
using testing_support::RigOptions;
using testing_support::RigPhys;

constexpr uint64_t kSecond = 1'000'000;
// Every synchronous request of a reset costs its 10 s: the restart makes at most about twenty
// (the MAC pulse and mode, the PHY programming of the keep-alive phone-line PHY with its
// tuning, the link test, the multicast hash), after a poll cycle the watchdog ends in 11 s.
constexpr uint64_t kResetBound = 220 * kSecond;
// Power-down's waits run out and their requests are taken back, then the remote-wake-up
// request and the two pipe resets cost 10 s each, then the one-second pause.
constexpr uint64_t kHaltBound = 45 * kSecond;

const char* Name(RigPhys phys) {
    switch (phys) {
        case RigPhys::EthernetAndPhone: return "Ethernet, phone line and spare";
        case RigPhys::EthernetOnly: return "Ethernet 0x225410";
        case RigPhys::KeepAlivePhone: return "phone line 0x20005C20";
        case RigPhys::EthernetAndKeepAlivePhone: return "Ethernet, 0x20005C20 and spare";
    }
    return "?";
}

TEST(SilentDevice, ResetAndHaltEndInBoundedTimeWhenNothingIsAnsweredAnyMore) {
    uint64_t slowestReset = 0, slowestHalt = 0;
    for (RigPhys phys : {RigPhys::EthernetAndPhone, RigPhys::EthernetOnly, RigPhys::KeepAlivePhone,
                         RigPhys::EthernetAndKeepAlivePhone}) {
        for (uint64_t homeLan : {0u, 18u}) {
            SCOPED_TRACE(std::string(Name(phys)) + ", HomeLan " + std::to_string(homeLan));
            RigOptions options;
            options.phys = phys;
            ReliabilityRig rig(3, options);
            rig.Adapter().registry["HomeLan"] = static_cast<uint32_t>(homeLan);
            ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
            rig.Run(4 * kSecond);
            // From now on the default pipe answers nothing.
            rig.Bus().Faults().ArmControl(Fault::Silent, 1, 1'000'000);
            rig.Disrupted();
            rig.Run(kSecond);
            const uint64_t resetStart = rig.world.NowUs();
            rig.Reset();
            const uint64_t reset = rig.world.NowUs() - resetStart;
            EXPECT_LE(reset, kResetBound);
            slowestReset = std::max(slowestReset, reset);
            // Nothing answers the link poll: it reports no link.
            rig.Run(30 * kSecond);
            EXPECT_EQ(rig.Record().LinkState, LINK_DISCONNECTED);
            const uint64_t haltStart = rig.world.NowUs();
            rig.Halt();
            const uint64_t halt = rig.world.NowUs() - haltStart - 2 * kSecond;  // Halt runs 2 s on
            EXPECT_LE(halt, kHaltBound);
            slowestHalt = std::max(slowestHalt, halt);
            EXPECT_FALSE(rig.Failed()) << rig.Describe();
        }
    }
    std::printf("[ silent   ] nothing answered: slowest reset %.1f s, slowest halt %.1f s\n",
                slowestReset / 1e6, slowestHalt / 1e6);
}

// The device falls silent in the middle of a reset, at each of its requests in turn: the PHY
// access (or EEPROM-style poll) it hits ends at the first request that is not answered instead
// of polling on, ten seconds a request.
TEST(SilentDevice, ADeviceFallingSilentAnywhereInAResetCostsBoundedTime) {
    uint64_t slowest = 0, runs = 0;
    for (uint64_t k = 1; k <= 60; ++k) {
        SCOPED_TRACE("silent from the reset's control request " + std::to_string(k));
        RigOptions options;
        options.phys = RigPhys::EthernetOnly;
        ReliabilityRig rig(2, options);
        ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
        rig.Run(3 * kSecond + 500'000);
        ASSERT_EQ(rig.Record().MediaBusy, 0);
        rig.Bus().Faults().ArmControl(Fault::Silent, k, 1'000'000);
        rig.Disrupted();
        const uint64_t start = rig.world.NowUs();
        rig.Reset();
        const uint64_t took = rig.world.NowUs() - start;
        EXPECT_LE(took, kResetBound);
        slowest = std::max(slowest, took);
        ++runs;
        rig.Halt();
        EXPECT_FALSE(rig.Failed()) << rig.Describe();
    }
    std::printf("[ silent   ] silent from each of %llu points of a reset: slowest %.1f s\n",
                static_cast<unsigned long long>(runs), slowest / 1e6);
}

// The PHY port's done bit never comes: every synchronous PHY access gives up after its bounded
// poll with the value of an address where nothing answers, which is no link.
TEST(SilentDevice, APhyPortThatNeverSaysDoneGivesNoLinkAndAResetStillEnds) {
    RigOptions options;
    options.phys = RigPhys::EthernetOnly;
    ReliabilityRig rig(1, options);
    ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
    rig.Run(5 * kSecond);
    ASSERT_EQ(rig.Record().LinkState, LINK_CONNECTED);
    rig.Device().Faults().phyNeverDone = true;
    const size_t statuses = rig.Adapter().protocol.statuses.size();
    const uint64_t resetStart = rig.world.NowUs();
    rig.Reset();
    EXPECT_LT(rig.world.NowUs() - resetStart, 10 * kSecond);
    ASSERT_GT(rig.Adapter().protocol.statuses.size(), statuses);
    EXPECT_EQ(rig.Adapter().protocol.statuses.back().status, NDIS_STATUS_MEDIA_DISCONNECT);
    const auto connect = rig.world.Ndis().Query(rig.Adapter(), OID_GEN_MEDIA_CONNECT_STATUS, 4);
    EXPECT_EQ(connect.buffer[0], 1) << "NdisMediaStateDisconnected";
    rig.Halt();
    EXPECT_FALSE(rig.Failed()) << rig.Describe();
}

// Power-down's PHY write is answered 2.5 s late: its wait runs out and the write is taken back
// before the port block is written, and each write keeps its own request block, so nothing is
// freed twice or lost whichever comes back first.
TEST(SilentDevice, APowerDownWriteAnsweredLateOverlapsNothing) {
    for (uint64_t late : {1'500'000ull, 2'500'000ull, 9'000'000ull}) {
        SCOPED_TRACE("answered " + std::to_string(late / 1000) + " ms late");
        RigOptions options;
        options.phys = RigPhys::EthernetAndPhone;
        ReliabilityRig rig(5, options);
        // Only the phone line has link at start-up: the 0x6B90 PHY is active, so power-down
        // writes the outputs, powers the phone-line PHY down, then writes its port block.
        rig.Ethernet().SetUp(false);
        ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(rig.Record().ActivePhyId, 0x6B90u);
        // Between two poll cycles, the second control request of power-down (the PHY write).
        rig.Run(3 * kSecond + 500'000);
        ASSERT_EQ(rig.Record().MediaBusy, 0);
        rig.Bus().Faults().ArmControl(Fault::Late, 2, 1, late);
        rig.Disrupted();
        rig.Shutdown();
        EXPECT_EQ(rig.Bus().Stats().faultsInjected, 1u);
        EXPECT_EQ(rig.Device().Register(0x7C), 0x36) << "the port block was written";
        rig.Run(10 * kSecond);
        rig.Halt();
        EXPECT_FALSE(rig.Failed()) << rig.Describe();
    }
}

}  // namespace
