// Races between contexts on several processors. Each was first reproduced by a seed of the
// interleaving (named below), then mended in the driver; the sweeps keep every seed of a range
// clean.
#include <gtest/gtest.h>

#include <string>

#include "host/usb/bus.h"
#include "tests/support/reliability_rig.h"

namespace {

using testing_support::ReliabilityRig;
using testing_support::RigOptions;
using testing_support::RigPhys;

constexpr uint32_t kPollMs = 3000;

// Counts control requests that contexts other than MiniportReset send while the reset is
// programming the device (from its first request to its return): any such request shares the
// register staging and the PHY port with the restart.
class ResetWatch : public host::usb::TransferObserver {
public:
    explicit ResetWatch(host::kernel::Kernel& kernel) : kernel_(kernel) {}
    void Submitted(int, const host::usb::TransferRecord& t) override {
        if (t.type != 2 || done) return;
        if (kernel_.InContext("MiniportReset")) resetWorking = true;
        else if (resetWorking) ++foreign;
    }
    void Completed(int, const host::usb::TransferRecord&) override {}
    bool resetWorking = false;
    bool done = false;
    int foreign = 0;

private:
    host::kernel::Kernel& kernel_;
};

struct ResetAtTick {
    int foreign = 0;
    size_t violations = 0;
    bool resetRan = false;
};

// Brings an Ethernet adapter up on `cpus` processors, then calls MiniportReset at the very
// instant the link poll fires.
ResetAtTick ResetAtThePollTick(uint64_t seed, unsigned cpus) {
    RigOptions options;
    options.phys = RigPhys::EthernetOnly;
    options.cpus = cpus;
    ReliabilityRig rig(seed, options);
    ResetAtTick out;
    if (rig.Initialize() != NDIS_STATUS_SUCCESS) return out;
    rig.Run(2 * kPollMs * 1000 + 500'000);
    ResetWatch watch(rig.world.Kernel());
    rig.Bus().AddObserver(&watch);
    const uint64_t due = rig.world.Ndis().TimerDue(&rig.Record().LinkPollTimer);
    rig.world.Scheduler().At(
        due,
        [&] {
            rig.world.Ndis().Reset(rig.Adapter());
            watch.done = true;
            out.resetRan = true;
        },
        host::sim::Phase::Scenario);
    rig.world.RunUntil(due + 2 * kPollMs * 1000);
    rig.Bus().RemoveObserver(&watch);
    out.foreign = watch.foreign;
    rig.Halt();
    out.violations = rig.world.Verifier().Count();
    return out;
}

TEST(MultiprocessorRaces, APollTickAtTheInstantOfAResetNeverStartsACycleBesideTheRestart) {
    // Seed 40 on two processors: the tick read the state as running, the reset marked it
    // starting and found the media side idle, then the tick claimed it and started its cycle.
    const ResetAtTick regression = ResetAtThePollTick(40, 2);
    ASSERT_TRUE(regression.resetRan);
    EXPECT_EQ(regression.foreign, 0) << "seed 40, 2 processors";
    for (unsigned cpus : {2u, 4u}) {
        for (uint64_t seed = 1; seed <= 150; ++seed) {
            const ResetAtTick r = ResetAtThePollTick(seed, cpus);
            ASSERT_TRUE(r.resetRan);
            EXPECT_EQ(r.foreign, 0) << "seed " << seed << ", " << cpus << " processors";
            EXPECT_EQ(r.violations, 0u) << "seed " << seed << ", " << cpus << " processors";
        }
    }
}

}  // namespace
