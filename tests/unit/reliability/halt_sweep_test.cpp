// Halt against a device that stops answering, whatever waits in the transmit queue. A halt must
// end within the bound docs/architecture.md states, and free the record only once nothing the
// adapter started can touch it again: no transfer at the bus or queued, no request, no timer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/usb/bus.h"
#include "tests/support/reliability_rig.h"
#include "tools/nicsim/run/runner.h"
#include "tools/nicsim/scenario/scenario.h"

namespace {

using host::usb::BusFaults;
using testing_support::ReliabilityRig;
using testing_support::RigOptions;
using testing_support::RigPhys;

// Shutdown and halt together with a device that answers nothing (docs/architecture.md).
constexpr uint64_t kHaltBoundUs = 38'000'000;
constexpr uint64_t kHour = 3'600'000'000;

enum class Silent { Control, Bulk, Both };

const char* Name(Silent s) {
    return s == Silent::Control ? "control" : s == Silent::Bulk ? "bulk" : "control and bulk";
}

// Every queue length from 0 to 32 behind the transfer at the bus, with the default pipe, the
// bulk-out pipe or both answering nothing, on one and on four processors, with each kind of
// power-down (the Ethernet PHY's port block, three PHYs, the keep-alive phone line). The halt runs on the protocol's heels: the
// frames are still queued in the driver when it begins.
TEST(HaltSweep, EveryQueueLengthUnderASilentDeviceHaltsCleanWithinTheBound) {
    uint64_t worst = 0;
    std::string worstCase;
    uint64_t seed = 1;
    for (RigPhys phys :
         {RigPhys::EthernetOnly, RigPhys::EthernetAndPhone, RigPhys::EthernetAndKeepAlivePhone}) {
        for (unsigned cpus : {1u, 4u}) {
            for (Silent silent : {Silent::Control, Silent::Bulk, Silent::Both}) {
                for (uint32_t queued = 0; queued <= 32; ++queued, ++seed) {
                    const std::string what = std::string(Name(silent)) + " silent, " +
                                             std::to_string(queued) + " queued, " +
                                             std::to_string(cpus) + " cpu(s), seed " +
                                             std::to_string(seed);
                    SCOPED_TRACE(what);
                    RigOptions options;
                    options.phys = phys;
                    options.txDescriptors = 40;
                    options.cpus = cpus;
                    ReliabilityRig rig(seed, options);
                    ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
                    rig.Run(1'500'000);
                    BusFaults& faults = rig.Bus().Faults();
                    if (silent != Silent::Bulk)
                        faults.ArmControl(BusFaults::ControlFault::Silent, 1, 100'000);
                    if (silent != Silent::Control)
                        faults.ArmBulk(BusFaults::ControlFault::Late, 1, 100'000, kHour);
                    rig.HostSends(queued + 1, 1514);
                    const uint64_t start = rig.world.NowUs();
                    rig.Halt();
                    const uint64_t took = rig.world.NowUs() - start - 2'000'000;  // Halt() runs on 2 s
                    EXPECT_LE(took, kHaltBoundUs);
                    EXPECT_FALSE(rig.Failed()) << rig.Failures().front();
                    if (took > worst) {
                        worst = took;
                        worstCase = what;
                    }
                }
            }
        }
    }
    std::printf("longest halt: %.3f s (%s)\n", worst / 1e6, worstCase.c_str());
}

// Frames queued behind a bulk-out transfer the device leaves unanswered never reach the device
// once the adapter is powered down: shutdown ends them itself and aborts the one at the bus, so
// when it returns the bus holds nothing of the adapter's, and nothing more is handed to the
// device after it. A halt later frees what is left with nothing below.
TEST(HaltSweep, AfterShutdownNothingQueuedReachesTheDevice) {
    for (unsigned cpus : {1u, 2u, 4u}) {
        SCOPED_TRACE(std::to_string(cpus) + " processor(s)");
        RigOptions options;
        options.phys = RigPhys::EthernetOnly;
        options.txDescriptors = 40;
        options.cpus = cpus;
        ReliabilityRig rig(7, options);
        ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
        rig.Run(1'500'000);
        rig.Bus().Faults().ArmBulk(BusFaults::ControlFault::Late, 1, 1'000, kHour);
        rig.HostSends(20, 1514);
        rig.Run(5'000);
        const uint64_t handed = rig.Bus().Stats().bulkOutToDevice;
        const uint64_t submitted = rig.Bus().Stats().bulkOut;
        rig.Shutdown();
        EXPECT_EQ(rig.Bus().Outstanding(), 0u) << "shutdown returned with requests at the bus";
        rig.Run(30'000'000);
        EXPECT_EQ(rig.Bus().Stats().bulkOutToDevice, handed) << "a frame went to the device after power-down";
        EXPECT_EQ(rig.Bus().Stats().bulkOut, submitted) << "a queued transfer was passed down after power-down";
        rig.Halt();
        EXPECT_FALSE(rig.Failed()) << rig.Failures().front();
    }
}

// More late transfers than halt's aborts could once release, with a halt 50 ms after they were
// armed (SIGSEGV in the bus, on a freed descriptor, for 13 or more): clean on one, two and four
// processors.
TEST(HaltSweep, ABurstOfLateTransfersAtHaltLeavesNothingBelowTheFreedRecord) {
    for (unsigned cpus : {1u, 2u, 4u}) {
        for (uint32_t late : {12u, 13u, 20u}) {
            SCOPED_TRACE(std::to_string(late) + " late transfers, " + std::to_string(cpus) + " processor(s)");
            const std::string text = R"({"name": "late burst", "seed": 1, "duration_s": 10, "cpus": )" +
                                     std::to_string(cpus) + R"(,
              "adapters": [{"name": "A", "eeprom": "00:11:22:33:44:55",
                            "phys": [{"address": 0, "id": "0x225410", "link": "eth0"}]}],
              "links": [{"name": "eth0", "medium": "ethernet", "up": true,
                         "peer": {"kind": "sink", "mac": "02:00:00:00:00:FE"}}],
              "events": [{"at": 0, "do": "initialize", "adapter": "A"},
                         {"at": 2, "do": "traffic", "adapter": "A", "frames": 200, "size": 1514, "interval": 0.001},
                         {"at": 2.1, "do": "fault", "adapter": "A", "fault": "bulk-late", "count": )" +
                                     std::to_string(late) + R"(, "ms": 3000},
                         {"at": 2.15, "do": "halt", "adapter": "A"}]})";
            std::vector<std::string> errors;
            const auto scenario = nicsim::LoadScenario(text, errors);
            ASSERT_TRUE(scenario.has_value());
            const nicsim::RunOutcome out = nicsim::PlayScenario(*scenario, nicsim::RunOptions{});
            EXPECT_TRUE(out.violations.empty()) << out.violations.front().check << ": " << out.violations.front().detail;
        }
    }
}

// A lower driver slow to end what it is told to cancel (3 s per cancel) with a default pipe that
// answers nothing: power-down's cancelled register requests come back while later steps have
// requests of their own below, and shutdown's synchronous requests wait out their cancels. The
// halt is longer by those waits and still leaves nothing behind.
TEST(HaltSweep, ALowerDriverSlowToCancelLengthensTheHaltAndLeavesNothing) {
    for (RigPhys phys : {RigPhys::EthernetOnly, RigPhys::EthernetAndPhone, RigPhys::EthernetAndKeepAlivePhone}) {
        for (unsigned cpus : {1u, 4u}) {
            SCOPED_TRACE(std::to_string(cpus) + " processor(s), PHY set " + std::to_string(static_cast<int>(phys)));
            RigOptions options;
            options.phys = phys;
            options.cpus = cpus;
            ReliabilityRig rig(11, options);
            ASSERT_EQ(rig.Initialize(), NDIS_STATUS_SUCCESS);
            rig.Run(1'500'000);
            BusFaults& faults = rig.Bus().Faults();
            faults.ArmControl(BusFaults::ControlFault::Silent, 1, 100'000);
            faults.cancelLateCount = 100;
            faults.cancelLateUs = 3'000'000;
            rig.HostSends(8, 1514);
            const uint64_t start = rig.world.NowUs();
            const uint64_t cancelledBefore = rig.Bus().Stats().cancelled;
            rig.Halt();
            const uint64_t took = rig.world.NowUs() - start - 2'000'000;
            EXPECT_GT(took, kHaltBoundUs) << "the cancels were slow";
            EXPECT_LE(took, kHaltBoundUs + 6 * 3'000'000u);
            EXPECT_GE(rig.Bus().Stats().cancelled - cancelledBefore, 3u);
            EXPECT_FALSE(rig.Failed()) << rig.Failures().front();
        }
    }
}

}  // namespace
