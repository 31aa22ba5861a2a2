// PHY discovery and the choice of medium at start-up, against the adapter model's PHYs: what is
// recorded, which PHY becomes active, and which one is powered down and isolated.
#include <gtest/gtest.h>

#include "driver/usb/discovery.h"
#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace {

using host::device::DeviceConfig;
using host::device::PhySpec;
using host::wire::MediumKind;
using testing_support::Mdio;

constexpr uint16_t kPowerDownIsolate = 0x0C00;

class DiscoveryTest : public testing_support::WorldTest {
protected:
    host::wire::Link* Ethernet(bool up) {
        auto& l = world_.AddLink("eth" + std::to_string(links_++), MediumKind::Ethernet);
        l.SetUp(up);
        return &l;
    }
    host::wire::Link* PhoneLine(bool up) {
        auto& l = world_.AddLink("phone" + std::to_string(links_++), MediumKind::PhoneLine);
        l.SetUp(up);
        return &l;
    }
    static PhySpec Phy(uint8_t address, uint32_t id, host::wire::Link* link = nullptr) {
        PhySpec s;
        s.phy.address = address;
        s.phy.id = id;
        s.link = link;
        return s;
    }
    const AdapterRecord& Start(std::vector<PhySpec> phys, uint32_t mediaType = 0) {
        DeviceConfig config;
        config.phys = std::move(phys);
        host::ndis::Registry registry;
        if (mediaType) registry["MediaType"] = mediaType;
        adapter_ = &AddModelled("A", config, registry, &device_);
        EXPECT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        return RecordOf(*adapter_);
    }
    uint16_t Control(uint8_t address) { return device_->Phy(address)->Peek(0); }
    bool PoweredDown(uint8_t address) { return Control(address) == kPowerDownIsolate; }
    void TearDown() override {
        if (adapter_) world_.Ndis().Halt(*adapter_);
        ExpectClean();
    }

    int links_ = 0;
    host::ndis::Adapter* adapter_ = nullptr;
    host::device::AdapterDevice* device_ = nullptr;
};

TEST_F(DiscoveryTest, SinglePhoneLinePhy) {
    const AdapterRecord& r = Start({Phy(1, 0x20005C20, PhoneLine(true))});
    EXPECT_EQ(r.PhyCount, 1);
    EXPECT_EQ(r.PhoneLinePhyIndex, 0);
    EXPECT_EQ(r.EthernetPhyIndex, 255);
    EXPECT_EQ(r.PhoneLineSelected, 1u);
    EXPECT_EQ(r.ActivePhyAddress, 1);
    EXPECT_EQ(r.ActivePhyId, 0x20005C20u);
    EXPECT_EQ(r.MediaChoiceMode, 2);
    for (const auto& w : Mdio(recorder_, "write", -1, 0))
        EXPECT_NE(w["value"], kPowerDownIsolate) << "no PHY powered down";
}

TEST_F(DiscoveryTest, SingleSparePhyBecomesActiveAndStaysPowered) {
    const AdapterRecord& r = Start({Phy(4, 0x6B70)});
    EXPECT_EQ(r.PhyCount, 1);
    EXPECT_EQ(r.PhoneLineSelected, 0xFFFEu);
    EXPECT_EQ(r.ActivePhyAddress, 4);
    EXPECT_EQ(r.ActivePhyId, 0x6B70u);
    EXPECT_FALSE(PoweredDown(4));
}

TEST_F(DiscoveryTest, IdentifierIsRegistersTwoAndThreeWithoutRevision) {
    PhySpec tuned = Phy(0, 0x437410, Ethernet(true));
    tuned.phy.revision = 0xF;  // register 3 reads 0x741F
    const AdapterRecord& r = Start({tuned});
    EXPECT_EQ(device_->Phy(0)->Peek(2), 0x0043);
    EXPECT_EQ(device_->Phy(0)->Peek(3), 0x741F);
    EXPECT_EQ(r.PhyIdTable[0], 0x437410u);
    EXPECT_EQ(r.PhoneLineSelected, 0u);
}

TEST_F(DiscoveryTest, EthernetWithLinkWinsAndThePhoneLineIsPoweredDown) {
    const AdapterRecord& r = Start({Phy(0, 0x225410, Ethernet(true)), Phy(1, 0x6B90, PhoneLine(false))});
    EXPECT_EQ(r.PhyCount, 2);
    EXPECT_EQ(r.ActivePhyAddress, 0);
    EXPECT_EQ(r.ActivePhyId, 0x225410u);
    EXPECT_EQ(r.PhoneLineSelected, 0u);
    EXPECT_EQ(r.MediaChoiceMode, 2);
    EXPECT_TRUE(PoweredDown(1));
    EXPECT_FALSE(PoweredDown(0));
}

TEST_F(DiscoveryTest, MediaTypeFiveChoosesThePhoneLineWhateverTheLinks) {
    const AdapterRecord& r =
        Start({Phy(0, 0x225410, Ethernet(true)), Phy(1, 0x6B90, PhoneLine(false))}, 5);
    EXPECT_EQ(r.ActivePhyAddress, 1);
    EXPECT_EQ(r.PhoneLineSelected, 1u);
    EXPECT_TRUE(PoweredDown(0));
    // Both link tests still ran, the phone line's first.
    const auto reads = Mdio(recorder_, "read", -1, 1);
    ASSERT_GE(reads.size(), 2u);
}

TEST_F(DiscoveryTest, PhoneLineWithLinkWinsWhenEthernetHasNone) {
    const AdapterRecord& r =
        Start({Phy(0, 0x225410, Ethernet(false)), Phy(1, 0x6B90, PhoneLine(true))});
    EXPECT_EQ(r.ActivePhyAddress, 1);
    EXPECT_EQ(r.PhoneLineSelected, 1u);
    EXPECT_TRUE(PoweredDown(0));
}

TEST_F(DiscoveryTest, NeitherWithLinkChoosesNothing) {
    const AdapterRecord& r =
        Start({Phy(0, 0x225410, Ethernet(false)), Phy(1, 0x6B90, PhoneLine(false))});
    EXPECT_EQ(r.MediaChoiceMode, 0);
    EXPECT_EQ(r.ActivePhyAddress, 0);
    EXPECT_EQ(r.PhoneLineSelected, 0u);
    EXPECT_FALSE(PoweredDown(0));
    EXPECT_FALSE(PoweredDown(1));
    ULONG result = 0;
    AtPassive(*adapter_, [&] { result = DiscoverPhys(MutableRecordOf(*adapter_)); });
    EXPECT_EQ(result, RESULT_FAILURE);
}

TEST_F(DiscoveryTest, SparePhyIsIsolatedBeforeTheLinkTests) {
    Start({Phy(0, 0x6B90, PhoneLine(true)), Phy(1, 0x406210, Ethernet(true)), Phy(2, 0x6B70)});
    EXPECT_TRUE(PoweredDown(2));
    const auto& lines = recorder_.Lines();
    size_t spareWrite = SIZE_MAX, firstLinkTest = SIZE_MAX;
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto& l = lines[i];
        if (l["ev"] != "mdio") continue;
        if (l["op"] == "write" && l["phy"] == 2 && l["value"] == kPowerDownIsolate) spareWrite = i;
        // Link tests read register 1 after the identifiers of every PHY have been read.
        if (l["op"] == "read" && l["reg"] == 1 && spareWrite == SIZE_MAX) continue;
        if (l["op"] == "read" && l["reg"] == 1 && firstLinkTest == SIZE_MAX) firstLinkTest = i;
    }
    ASSERT_NE(spareWrite, SIZE_MAX);
    ASSERT_NE(firstLinkTest, SIZE_MAX);
    EXPECT_LT(spareWrite, firstLinkTest);
    // Ethernet has link: the phone line is powered down too.
    EXPECT_TRUE(PoweredDown(0));
    EXPECT_EQ(RecordOf(*adapter_).ActivePhyAddress, 1);
}

TEST_F(DiscoveryTest, FirstPhoneLineKindWinsWhateverTheAddresses) {
    const AdapterRecord& r =
        Start({Phy(2, 0x20005C20, PhoneLine(true)), Phy(5, 0x6B90, PhoneLine(true))});
    EXPECT_EQ(r.PhyCount, 2);
    EXPECT_EQ(r.PhoneLinePhyIndex, 1);
    EXPECT_EQ(r.ActivePhyAddress, 5);
    EXPECT_EQ(r.PhoneLineSelected, 1u);
    EXPECT_FALSE(PoweredDown(2)) << "no link tests and no power-down without an Ethernet PHY";
}

TEST_F(DiscoveryTest, NoPhyAtAll) {
    const AdapterRecord& r = Start({});
    EXPECT_EQ(r.PhyCount, 0);
    EXPECT_EQ(r.ActivePhyAddress, 0);
    EXPECT_EQ(r.ActivePhyId, 0x406210u);
    EXPECT_EQ(r.PhoneLineSelected, 255u);
    EXPECT_EQ(r.MediaChoiceMode, 0);
    // Ten addresses probed (a select and a status read each), then address 0 selected; nothing
    // answers, so no identifier is read.
    const auto reads = Mdio(recorder_, "read");
    EXPECT_EQ(reads.size(), 21u);
    for (const auto& l : reads) EXPECT_EQ(l["value"], 0xFFFF);
}

TEST_F(DiscoveryTest, StatusOfAllZeroesOrAllOnesMeansNothingThere) {
    PhySpec zero = Phy(0, 0x225410, Ethernet(true));
    zero.phy.reg1 = 0x0000;
    PhySpec ones = Phy(1, 0x406210, Ethernet(true));
    ones.phy.reg1 = 0xFFFF;
    const AdapterRecord& r = Start({zero, ones, Phy(3, 0x6B90, PhoneLine(true))});
    EXPECT_EQ(r.PhyCount, 1);
    EXPECT_EQ(r.PhyAddressTable[0], 3);
    EXPECT_EQ(r.ActivePhyAddress, 3);
}

TEST_F(DiscoveryTest, SeveralPhysWithoutPhoneLineNeverIndexWithNone) {
    const AdapterRecord& r = Start({Phy(0, 0x6B70), Phy(1, 0x406210, Ethernet(true))});
    EXPECT_EQ(r.PhyCount, 2);
    EXPECT_EQ(r.PhoneLinePhyIndex, 255);
    EXPECT_EQ(r.ActivePhyAddress, 1);
    EXPECT_EQ(r.PhoneLineSelected, 0u);
    EXPECT_EQ(r.MediaChoiceMode, 2);
    EXPECT_TRUE(PoweredDown(0));  // the spare
    EXPECT_FALSE(PoweredDown(1));
}

TEST_F(DiscoveryTest, SeveralUnknownPhysTakeTheFirstAsEthernet) {
    const AdapterRecord& r = Start({Phy(3, 0x111110), Phy(6, 0x222220)});
    EXPECT_EQ(r.ActivePhyAddress, 3);
    EXPECT_EQ(r.PhoneLineSelected, 0u);
    EXPECT_EQ(r.EthernetPhyIndex, 255);
}

TEST_F(DiscoveryTest, AtMostFourPhysAreRecordedButAllAddressesProbed) {
    std::vector<PhySpec> phys;
    for (uint8_t a = 0; a < 6; ++a) phys.push_back(Phy(a, 0x406210, Ethernet(true)));
    const AdapterRecord& r = Start(phys);
    EXPECT_EQ(r.PhyCount, 4);
    EXPECT_EQ(r.PhyAddressTable[3], 3);
    // Addresses 4 and 5 answered too: their identifiers were read.
    EXPECT_FALSE(Mdio(recorder_, "read", 5, 2).empty());
}

}  // namespace
