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
    // Position in the trace of the scan's last probe, the status read at address 9: what
    // discovery does to the PHYs after it belongs to the choice of medium.
    size_t ScanEnd() const {
        const auto& lines = recorder_.Lines();
        for (size_t i = 0; i < lines.size(); ++i) {
            const auto& l = lines[i];
            if (l["ev"] == "mdio" && l["op"] == "read" && l["phy"] == 9 && l["reg"] == 1) return i;
        }
        return SIZE_MAX;
    }
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
    for (const auto& w : Mdio(recorder_, "write", 4, 0))
        EXPECT_NE(w["value"], kPowerDownIsolate) << "a lone spare is never powered down";
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
    // Both link tests still ran after the scan and before the Ethernet PHY was powered down:
    // the phone line's first, its clear link bit read a second time, then the Ethernet PHY's.
    const auto& lines = recorder_.Lines();
    const size_t scanEnd = ScanEnd();
    ASSERT_NE(scanEnd, SIZE_MAX);
    std::vector<int> linkTests;
    for (size_t i = scanEnd + 1; i < lines.size(); ++i) {
        const auto& l = lines[i];
        if (l["ev"] != "mdio") continue;
        if (l["op"] == "write") break;
        if (l["reg"] == 1) linkTests.push_back(l["phy"].get<int>());
    }
    EXPECT_EQ(linkTests, (std::vector<int>{1, 1, 0}));
}

TEST_F(DiscoveryTest, PhoneLineWithLinkWinsWhenEthernetHasNone) {
    const AdapterRecord& r =
        Start({Phy(0, 0x225410, Ethernet(false)), Phy(1, 0x6B90, PhoneLine(true))});
    EXPECT_EQ(r.ActivePhyAddress, 1);
    EXPECT_EQ(r.PhoneLineSelected, 1u);
    EXPECT_TRUE(PoweredDown(0));
    // Discovery ends by selecting the chosen PHY: the last PHY port write before the restart's
    // MAC reset pulse is the select of address 1 (a read command on register 1), after the
    // Ethernet PHY's power-down.
    std::vector<std::string> portWrites;
    for (const auto& l : testing_support::Controls(recorder_, 0xF1)) {
        if (l["wIndex"] == 0x00) break;
        if (l["wIndex"] == 0x25) portWrites.push_back(l["data"].get<std::string>());
    }
    ASSERT_GE(portWrites.size(), 2u);
    EXPECT_EQ(portWrites[portWrites.size() - 2], "00000c20");
    EXPECT_EQ(portWrites.back(), "01000041");
}

TEST_F(DiscoveryTest, EthernetPhyIsChosenByTheKindsPriorityNotByAddress) {
    // The kinds sit in reverse priority order by address; each round leaves the best one out.
    const uint32_t byPriority[] = {0x406210, 0x437410, 0x225610, 0x225410};
    for (int best = 0; best < 3; ++best) {
        DeviceConfig config;
        for (int k = 3; k >= best; --k)
            config.phys.push_back(Phy(static_cast<uint8_t>(3 - k), byPriority[k], Ethernet(true)));
        auto& a = AddModelled("P" + std::to_string(best), config);
        ASSERT_EQ(world_.Ndis().Initialize(a), NDIS_STATUS_SUCCESS);
        const AdapterRecord& r = RecordOf(a);
        ASSERT_LT(r.EthernetPhyIndex, r.PhyCount);
        EXPECT_EQ(r.PhyIdTable[r.EthernetPhyIndex], byPriority[best]) << best;
        EXPECT_EQ(r.ActivePhyAddress, 3 - best) << best;
        world_.Ndis().Halt(a);
    }
}

TEST_F(DiscoveryTest, OutputsAreSetWithTheirPausesBeforeTheScan) {
    Start({Phy(0, 0x225410, Ethernet(true))});
    // As the device recorded them: registers 0x7E/0x7F twice, 5 ms apart, then 10 ms later
    // 0x7B/0x7C, all before the scan's first PHY port command.
    using Write = host::device::AdapterDevice::RegisterWrite;
    std::vector<Write> outputs;
    for (const Write& w : device_->WriteHistory()) {
        if (w.reg == 0x25) break;
        if (w.reg >= 0x7B && w.reg <= 0x7F) outputs.push_back(w);
    }
    std::vector<std::pair<int, int>> values;
    for (const Write& w : outputs) values.emplace_back(w.reg, w.value);
    const std::vector<std::pair<int, int>> expected = {{0x7E, 0x24}, {0x7F, 0x06}, {0x7E, 0x26},
                                                       {0x7F, 0x04}, {0x7B, 0x02}, {0x7C, 0x00}};
    ASSERT_EQ(values, expected);
    const uint64_t between = outputs[2].t_us - outputs[0].t_us;
    const uint64_t after = outputs[4].t_us - outputs[2].t_us;
    EXPECT_GE(between, 5000u);
    EXPECT_LT(between, 7000u);
    EXPECT_GE(after, 10000u);
    EXPECT_LT(after, 12000u);
}

TEST_F(DiscoveryTest, NeitherWithLinkChoosesNothing) {
    const AdapterRecord& r =
        Start({Phy(0, 0x225410, Ethernet(false)), Phy(1, 0x6B90, PhoneLine(false))});
    EXPECT_EQ(r.MediaChoiceMode, 0);
    EXPECT_EQ(r.ActivePhyAddress, 0);
    EXPECT_EQ(r.PhoneLineSelected, 0u);
    EXPECT_FALSE(PoweredDown(0));
    EXPECT_FALSE(PoweredDown(1));
    ASSERT_EQ(adapter_->protocol.statuses.size(), 1u);
    EXPECT_EQ(adapter_->protocol.statuses[0].status, NDIS_STATUS_MEDIA_DISCONNECT)
        << "no medium chosen: start-up indicates no connection";
    ULONG result = 0;
    AtPassive(*adapter_, [&] { result = DiscoverPhys(MutableRecordOf(*adapter_)); });
    EXPECT_EQ(result, RESULT_FAILURE);
}

TEST_F(DiscoveryTest, SparePhyIsIsolatedBeforeTheLinkTests) {
    Start({Phy(0, 0x6B90, PhoneLine(true)), Phy(1, 0x406210, Ethernet(true)), Phy(2, 0x6B70)});
    EXPECT_TRUE(PoweredDown(2));
    // The link tests are the first status reads once the scan is over.
    const auto& lines = recorder_.Lines();
    const size_t scanEnd = ScanEnd();
    ASSERT_NE(scanEnd, SIZE_MAX);
    size_t spareWrite = SIZE_MAX, firstLinkTest = SIZE_MAX;
    for (size_t i = scanEnd + 1; i < lines.size(); ++i) {
        const auto& l = lines[i];
        if (l["ev"] != "mdio") continue;
        if (l["op"] == "write" && l["phy"] == 2 && l["value"] == kPowerDownIsolate &&
            spareWrite == SIZE_MAX)
            spareWrite = i;
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

    // Nothing answers the poll either: an address where nothing answers has no link, so the
    // first poll reports the medium disconnected, and it stays so. Start-up said so already: a
    // connection to no medium would send DHCP into nothing.
    const size_t atInitialise = adapter_->protocol.statuses.size();
    ASSERT_EQ(atInitialise, 1u);
    EXPECT_EQ(adapter_->protocol.statuses.front().status, NDIS_STATUS_MEDIA_DISCONNECT);
    world_.RunFor(10'000'000);
    const auto& statuses = adapter_->protocol.statuses;
    ASSERT_EQ(statuses.size(), atInitialise + 1) << "one indication, at the first poll";
    EXPECT_EQ(statuses.back().status, NDIS_STATUS_MEDIA_DISCONNECT);
    const auto connect = world_.Ndis().Query(*adapter_, OID_GEN_MEDIA_CONNECT_STATUS, 4);
    EXPECT_EQ(connect.buffer[0], 1) << "NdisMediaStateDisconnected";
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

// The spare is powered down whenever several PHYs are found; with no known kind beside it, the
// PHY that carries traffic is the first one that is not the spare, never the spare just silenced.
TEST_F(DiscoveryTest, ASpareIsNeverMadeActiveBesidePhysOfUnknownKinds) {
    const AdapterRecord& r = Start({Phy(0, 0x6B70), Phy(2, 0x111110, Ethernet(true))});
    EXPECT_TRUE(PoweredDown(0));
    EXPECT_FALSE(PoweredDown(2));
    EXPECT_EQ(r.ActivePhyAddress, 2);
    EXPECT_EQ(r.ActivePhyId, 0x111110u);
    // The restart programmed the PHY that carries traffic, and its link is reported.
    world_.RunFor(4'000'000);
    ASSERT_FALSE(adapter_->protocol.statuses.empty());
    EXPECT_EQ(adapter_->protocol.statuses.back().status, NDIS_STATUS_MEDIA_CONNECT);
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
