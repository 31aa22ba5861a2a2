// Halt against a device that stops answering, whatever waits in the transmit queue. A halt must
// end within the bound docs/architecture.md states, and free the record only once nothing the
// adapter started can touch it again: no transfer at the bus or queued, no request, no timer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/usb/bus.h"
#include "tests/support/reliability_rig.h"

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

}  // namespace
