// The PHY model on its own: link timing against a partner, latched link status, reset,
// power-down and isolate, forced speeds, parallel detection and the partner's ability.
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

class PhyModelTest : public ::testing::Test {
protected:
    host::sim::Scheduler sched_{1};

    static PhyConfig Config(uint32_t id) {
        PhyConfig c;
        c.id = id;
        return c;
    }
    // The link bit as a reader sees it, on two reads in a row.
    static std::pair<bool, bool> TwoReads(PhyModel& phy) {
        const bool first = phy.Read(1) & 0x0004;
        const bool second = phy.Read(1) & 0x0004;
        return {first, second};
    }
    void Advance(uint64_t us) { sched_.RunUntil(sched_.Now() + us); }
};

TEST_F(PhyModelTest, LinkUpAtStartNeedsNoWait) {
    Link eth("eth", MediumKind::Ethernet, {});
    PhyModel phy(sched_, Config(0x225410), &eth);
    EXPECT_TRUE(phy.HasLink());
    EXPECT_EQ(phy.Read(1) & 0x0024, 0x0024);  // link and negotiation complete
    EXPECT_EQ(phy.Read(5), 0x01E1);
    EXPECT_EQ(phy.SpeedMbps(), 100u);
    EXPECT_TRUE(phy.FullDuplex());
}

TEST_F(PhyModelTest, DropLatchesLowUntilRead) {
    Link eth("eth", MediumKind::Ethernet, {});
    PhyModel phy(sched_, Config(0x225410), &eth);
    eth.SetUp(false);
    EXPECT_FALSE(phy.HasLink());
    eth.SetUp(true);
    Advance(800 * kMs);
    EXPECT_TRUE(phy.HasLink());
    EXPECT_EQ(TwoReads(phy), std::make_pair(false, true));
}

TEST_F(PhyModelTest, NegotiatedLinkTakesTheMediumsDelayForcedTakes300Ms) {
    PartnerSettings slow;
    slow.anDelayMs = 1500;
    Link eth("eth", MediumKind::Ethernet, slow);
    eth.SetUp(false);
    PhyModel phy(sched_, Config(0x406210), &eth);
    eth.SetUp(true);
    Advance(1499 * kMs);
    EXPECT_FALSE(phy.HasLink());
    Advance(1 * kMs);
    EXPECT_TRUE(phy.HasLink());

    // Forced 100 Mb/s half duplex against a negotiating partner: parallel detection on its side.
    phy.Write(0, 0x2000);
    EXPECT_FALSE(phy.HasLink());
    Advance(299 * kMs);
    EXPECT_FALSE(phy.HasLink());
    Advance(1 * kMs);
    EXPECT_TRUE(phy.HasLink());
    EXPECT_EQ(phy.SpeedMbps(), 100u);
    EXPECT_FALSE(phy.FullDuplex());
    EXPECT_FALSE(phy.Read(1) & 0x0020) << "no negotiation in forced mode";
}

TEST_F(PhyModelTest, ResetSelfClearsAfterOneMillisecondAndRestoresDefaults) {
    Link eth("eth", MediumKind::Ethernet, {});
    PhyModel phy(sched_, Config(0x225410), &eth);
    phy.Write(4, 0x0021);
    phy.Write(0, 0x8000);
    EXPECT_TRUE(phy.Read(0) & 0x8000);
    EXPECT_FALSE(phy.HasLink());
    Advance(999);
    EXPECT_TRUE(phy.Read(0) & 0x8000);
    Advance(1);
    EXPECT_FALSE(phy.Read(0) & 0x8000);
    EXPECT_EQ(phy.Read(4), 0x01E1);
    Advance(800 * kMs);
    EXPECT_TRUE(phy.HasLink());
}

TEST_F(PhyModelTest, PowerDownAndIsolateTakeThePhyOffItsMedium) {
    Link eth("eth", MediumKind::Ethernet, {});
    PhyModel phy(sched_, Config(0x225410), &eth);
    for (uint16_t off : {uint16_t{0x0800}, uint16_t{0x0400}, uint16_t{0x0C00}}) {
        phy.Write(0, off);
        Advance(2000 * kMs);
        EXPECT_FALSE(phy.HasLink()) << std::hex << off;
        EXPECT_FALSE(phy.OnMedium());
        phy.Write(0, 0x1200);
        Advance(800 * kMs);
        EXPECT_TRUE(phy.HasLink()) << std::hex << off;
    }
}

TEST_F(PhyModelTest, RestartNegotiationDropsAndRenegotiates) {
    Link eth("eth", MediumKind::Ethernet, {});
    PhyModel phy(sched_, Config(0x225410), &eth);
    phy.Write(0, 0x1200);
    EXPECT_FALSE(phy.HasLink());
    EXPECT_FALSE(phy.Read(0) & 0x0200) << "restart self-clears";
    Advance(800 * kMs);
    EXPECT_TRUE(phy.HasLink());
}

TEST_F(PhyModelTest, PartnerAbilityAndResolutionFollowTheAdvertisements) {
    struct Case {
        uint16_t partner;
        uint32_t speed;
        bool full;
    };
    for (const Case c : {Case{0x01E1, 100, true}, Case{0x0061, 10, true}, Case{0x0021, 10, false},
                         Case{0x00A1, 100, false}}) {
        PartnerSettings p;
        p.advertise = c.partner;
        Link eth("eth", MediumKind::Ethernet, p);
        PhyModel phy(sched_, Config(0x225410), &eth);
        EXPECT_EQ(phy.Read(5), c.partner);
        EXPECT_EQ(phy.SpeedMbps(), c.speed) << std::hex << c.partner;
        EXPECT_EQ(phy.FullDuplex(), c.full) << std::hex << c.partner;
    }
}

TEST_F(PhyModelTest, NoCommonAbilityMeansNoLink) {
    PartnerSettings p;
    p.advertise = 0x0101;  // 100 full only
    Link eth("eth", MediumKind::Ethernet, p);
    PhyModel phy(sched_, Config(0x225410), &eth);
    ASSERT_TRUE(phy.HasLink());
    phy.Write(4, 0x0021);  // we advertise 10 half only
    phy.Write(0, 0x1200);
    Advance(5000 * kMs);
    EXPECT_FALSE(phy.HasLink());
}

TEST_F(PhyModelTest, ForcedPartnerIsFoundByParallelDetection) {
    PartnerSettings p;
    p.autoneg = false;
    p.speedMbps = 10;
    Link eth("eth", MediumKind::Ethernet, p);
    eth.SetUp(false);
    PhyModel phy(sched_, Config(0x225410), &eth);
    eth.SetUp(true);
    Advance(300 * kMs);
    EXPECT_TRUE(phy.HasLink());
    EXPECT_EQ(phy.SpeedMbps(), 10u);
    EXPECT_FALSE(phy.FullDuplex());
    EXPECT_EQ(phy.Read(5) & 0x01E0, 0x0020);

    // Forced at 100 against a partner forced at 10: nothing.
    phy.Write(0, 0x2100);
    Advance(5000 * kMs);
    EXPECT_FALSE(phy.HasLink());
}

TEST_F(PhyModelTest, PhoneLinePhyNeedsAPhoneLineMediumAndRunsAtOneMegabit) {
    Link phone("phone", MediumKind::PhoneLine, {});
    Link eth("eth", MediumKind::Ethernet, {});
    PhyModel onPhone(sched_, Config(0x6B90), &phone);
    PhyModel onEthernet(sched_, Config(0x20005C20), &eth);
    PhyModel ethernetOnPhone(sched_, Config(0x225410), &phone);
    EXPECT_TRUE(onPhone.HasLink());
    EXPECT_EQ(onPhone.SpeedMbps(), 1u);
    EXPECT_FALSE(onEthernet.HasLink());
    EXPECT_FALSE(ethernetOnPhone.HasLink());
    phone.SetUp(false);
    phone.SetUp(true);
    Advance(299 * kMs);
    EXPECT_FALSE(onPhone.HasLink());
    Advance(1 * kMs);
    EXPECT_TRUE(onPhone.HasLink());
}

TEST_F(PhyModelTest, PhoneLinePhyKeepsItsLinkThroughANegotiationRestart) {
    Link phone("phone", MediumKind::PhoneLine, {});
    for (const uint32_t id : {0x6B90u, 0x20005C20u}) {
        PhyModel phy(sched_, Config(id), &phone);
        ASSERT_TRUE(phy.HasLink());
        phy.Read(1);
        // The restart values the driver writes: it has no negotiation to restart.
        for (const uint16_t control : {0x1200, 0x2000}) {
            phy.Write(0, control);
            EXPECT_TRUE(phy.HasLink()) << std::hex << id << " control " << control;
            EXPECT_EQ(TwoReads(phy), std::make_pair(true, true)) << std::hex << id;
        }
        // Powering it down still takes the link away, and enabling it brings it back in 300 ms.
        phy.Write(0, 0x0C00);
        EXPECT_FALSE(phy.HasLink());
        phy.Write(0, 0x1200);
        Advance(300 * kMs);
        EXPECT_TRUE(phy.HasLink());
    }
}

TEST_F(PhyModelTest, IdentifierRegistersCarryTheRevision) {
    PhyConfig c = Config(0x437410);
    c.revision = 0xF;
    PhyModel phy(sched_, c, nullptr);
    EXPECT_EQ(phy.Read(2), 0x0043);
    EXPECT_EQ(phy.Read(3), 0x741F);
    EXPECT_FALSE(phy.HasLink());
    EXPECT_NE(phy.Read(1), 0x0000);
    EXPECT_NE(phy.Read(1), 0xFFFF);
}

TEST_F(PhyModelTest, VendorRegistersKeepWhatWasWrittenAndReadOnlyOnesIgnoreWrites) {
    PhyModel phy(sched_, Config(0x6B90), nullptr);
    phy.Write(16, 0x0A55);
    phy.Write(25, 0x7F05);
    phy.Write(2, 0x1234);
    EXPECT_EQ(phy.Read(16), 0x0A55);
    EXPECT_EQ(phy.Read(25), 0x7F05);
    EXPECT_EQ(phy.Read(2), 0x0000);
}

TEST_F(PhyModelTest, VendorDefaultsComeBackAtEveryReset) {
    PhyConfig c = Config(0x6B90);
    c.vendorDefaults = {{16, 0x1234}, {3, 0xBEEF}};  // register 3 is no vendor register
    PhyModel phy(sched_, c, nullptr);
    EXPECT_EQ(phy.Read(16), 0x1234);
    EXPECT_EQ(phy.Read(3), 0x6B90);
    phy.Write(16, 0x0F00);
    phy.Write(0, 0x8000);
    EXPECT_EQ(phy.Peek(16), 0x1234);
    Advance(2 * kMs);
    EXPECT_EQ(phy.Read(16), 0x1234);
    EXPECT_EQ(phy.Read(0) & 0x8000, 0);
}

}  // namespace
