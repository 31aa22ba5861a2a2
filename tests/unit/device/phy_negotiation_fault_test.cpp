// The PHY model's negotiation that never completes: the link comes up after the medium's delay,
// the completion bit never does, and only negotiation with a negotiating partner is affected.
#include <gtest/gtest.h>

#include "host/device/phy.h"
#include "host/sim/scheduler.h"
#include "host/wire/link.h"

namespace {

using host::device::PhyConfig;
using host::device::PhyModel;
using host::wire::Link;
using host::wire::MediumKind;
using host::wire::PartnerSettings;

constexpr uint64_t kMs = 1000;
constexpr uint16_t kLink = 0x0004;
constexpr uint16_t kNegotiated = 0x0020;

class PhyNegotiationFaultTest : public ::testing::Test {
protected:
    host::sim::Scheduler sched_{1};
    static PhyConfig Ethernet() {
        PhyConfig c;
        c.id = 0x225410;
        return c;
    }
    void Advance(uint64_t us) { sched_.RunUntil(sched_.Now() + us); }
    static PartnerSettings Stuck() {
        PartnerSettings p;
        p.anNeverCompletes = true;
        return p;
    }
};

TEST_F(PhyNegotiationFaultTest, LinkComesUpButNegotiationIsNeverReportedComplete) {
    Link eth("eth", MediumKind::Ethernet, Stuck());
    PhyModel phy(sched_, Ethernet(), &eth);
    EXPECT_TRUE(phy.HasLink());
    EXPECT_EQ(phy.Read(1) & (kLink | kNegotiated), kLink) << "linked at start, not negotiated";

    // A restart drops the link; it returns after the negotiation delay, still incomplete.
    phy.Write(0, 0x1200);
    Advance(799 * kMs);
    EXPECT_FALSE(phy.HasLink());
    Advance(1 * kMs);
    EXPECT_TRUE(phy.HasLink());
    phy.Read(1);  // the drop's latch
    for (int i = 0; i < 10; ++i) {
        Advance(1000 * kMs);
        EXPECT_EQ(phy.Read(1) & (kLink | kNegotiated), kLink);
    }
    // The partner's page arrived all the same.
    EXPECT_EQ(phy.Read(5), 0x01E1);
}

TEST_F(PhyNegotiationFaultTest, ForcedSpeedAndParallelDetectionAreUnaffected) {
    Link eth("eth", MediumKind::Ethernet, Stuck());
    PhyModel phy(sched_, Ethernet(), &eth);
    // Forced 100 Mb/s: no negotiation, so nothing to complete.
    phy.Write(0, 0x2000);
    Advance(300 * kMs);
    EXPECT_TRUE(phy.HasLink());
    EXPECT_EQ(phy.Read(1) & kNegotiated, 0);

    // A partner that does not negotiate is parallel-detected, which completes.
    PartnerSettings forced = Stuck();
    forced.autoneg = false;
    eth.Update(forced);
    phy.Write(0, 0x1200);
    Advance(300 * kMs);
    EXPECT_TRUE(phy.HasLink());
    phy.Read(1);
    EXPECT_EQ(phy.Read(1) & (kLink | kNegotiated), kLink | kNegotiated);

    // Cleared, the same partner completes its negotiation again.
    PartnerSettings healthy;
    eth.Update(healthy);
    phy.Write(0, 0x1200);
    Advance(800 * kMs);
    phy.Read(1);
    EXPECT_EQ(phy.Read(1) & (kLink | kNegotiated), kLink | kNegotiated);
}

}  // namespace
