// The PHY management and EEPROM ports, checked on the bytes the driver writes and on what the
// device's PHYs and EEPROM give back.
#include <gtest/gtest.h>

#include "driver/usb/eeprom.h"
#include "driver/usb/phy_access.h"
#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace {

using testing_support::Controls;
using testing_support::Mdio;
using testing_support::RegisterWrites;

std::vector<USHORT> g_seen;
ULONG RecordStatus(AdapterRecord* a) {
    g_seen.push_back(ReadBufferWord(a));
    return RESULT_SUCCESS;
}

class PhyPortTest : public testing_support::WorldTest {
protected:
    void Start(host::device::DeviceConfig config) {
        g_seen.clear();
        adapter_ = &AddModelled("A", std::move(config), {}, &device_);
        ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        record_ = MutableRecordOf(*adapter_);
        recorder_.Clear();
    }
    void TearDown() override {
        if (adapter_) world_.Ndis().Halt(*adapter_);
        ExpectClean();
    }

    host::ndis::Adapter* adapter_ = nullptr;
    host::device::AdapterDevice* device_ = nullptr;
    AdapterRecord* record_ = nullptr;
};

host::device::PhySpec Phy(uint8_t address, uint32_t id, host::wire::Link* link = nullptr,
                          std::optional<uint16_t> reg1 = std::nullopt) {
    host::device::PhySpec phySpec;
    phySpec.phy.address = address;
    phySpec.phy.id = id;
    phySpec.phy.reg1 = reg1;
    phySpec.link = link;
    return phySpec;
}

TEST_F(PhyPortTest, WriteStagesAddressValueAndCommandAndReachesThePhy) {
    host::device::DeviceConfig config;
    config.phys = {Phy(3, 0x406210)};
    Start(config);
    AtPassive(*adapter_, [&] { WritePhyRegister(record_, 3, PHY_CONTROL, 0x0C00); });
    const auto port = RegisterWrites(recorder_, 0x25);
    ASSERT_EQ(port.size(), 1u);
    EXPECT_EQ(port[0], "03000c20");
    // Completion is learnt from registers 0x28..0x29.
    EXPECT_FALSE(Controls(recorder_, 0xF0, 0x28).empty());
    EXPECT_EQ(device_->Phy(3)->Peek(0), 0x0C00);
    EXPECT_FALSE(device_->Phy(3)->OnMedium());
}

TEST_F(PhyPortTest, ReadTakesTheValueFromTheReadBack) {
    host::device::DeviceConfig config;
    config.phys = {Phy(1, 0x225410, nullptr, 0x782D)};
    Start(config);
    USHORT value = 0;
    AtPassive(*adapter_, [&] { value = ReadPhyRegister(record_, 1, PHY_STATUS); });
    EXPECT_EQ(value, 0x782D);
    EXPECT_EQ(RegisterWrites(recorder_, 0x25), std::vector<std::string>{"01000041"});
    const auto readBack = Controls(recorder_, 0xF0, 0x25);
    ASSERT_FALSE(readBack.empty());
    EXPECT_EQ(readBack.back()["wLength"], 4);
    EXPECT_EQ(readBack.back()["data"], "012d78c1");

    // A read-back the device never answers (taken back after 10 s) gives what an address where
    // nothing answers gives, not the last value the port showed with its done bit.
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 2);
    AtPassive(*adapter_, [&] { value = ReadPhyRegister(record_, 1, PHY_STATUS); });
    EXPECT_EQ(value, 0xFFFF);
    EXPECT_EQ(Controls(recorder_, 0xF0, 0x25).back()["result"], "timeout");
}

TEST_F(PhyPortTest, AddressWithoutPhyReadsAllOnes) {
    Start(host::device::DeviceConfig{});
    USHORT value = 0;
    AtPassive(*adapter_, [&] { value = ReadPhyRegister(record_, 7, PHY_ID1); });
    EXPECT_EQ(value, 0xFFFF);
}

TEST_F(PhyPortTest, SelectPhyIssuesAReadOfTheRegisterNamedByTheAddress) {
    Start(host::device::DeviceConfig{});
    AtPassive(*adapter_, [&] { SelectPhy(record_, 0x21); });
    EXPECT_EQ(RegisterWrites(recorder_, 0x25), std::vector<std::string>{"21000041"});
}

TEST_F(PhyPortTest, LinkStatusReadOnceWhenSetTwiceWhenClear) {
    host::wire::Link& up = world_.AddLink("eth", host::wire::MediumKind::Ethernet);
    host::device::DeviceConfig config;
    config.phys = {Phy(0, 0x225410, &up), Phy(1, 0x406210)};
    Start(config);
    AtDispatch(*adapter_, [&] { ReadLinkStatusAsync(record_, 0, RecordStatus); });
    world_.RunFor(20'000);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_TRUE(g_seen[0] & PHY_STATUS_LINK);
    EXPECT_EQ(Mdio(recorder_, "read", 0, 1).size(), 1u);

    recorder_.Clear();
    g_seen.clear();
    AtDispatch(*adapter_, [&] { ReadLinkStatusAsync(record_, 1, RecordStatus); });
    world_.RunFor(20'000);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_FALSE(g_seen[0] & PHY_STATUS_LINK);
    EXPECT_EQ(Mdio(recorder_, "read", 1, 1).size(), 2u);
}

TEST_F(PhyPortTest, LatchedLowLinkIsConfirmedBySecondRead) {
    host::wire::Link& eth = world_.AddLink("eth", host::wire::MediumKind::Ethernet);
    host::device::DeviceConfig config;
    config.phys = {Phy(0, 0x225410, &eth)};
    Start(config);
    // A short drop: the link is back, but the status register still shows the drop once.
    eth.SetUp(false);
    eth.SetUp(true);
    world_.RunFor(1'000'000);
    ASSERT_TRUE(device_->Phy(0)->HasLink());
    AtDispatch(*adapter_, [&] { ReadLinkStatusAsync(record_, 0, RecordStatus); });
    world_.RunFor(20'000);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_TRUE(g_seen[0] & PHY_STATUS_LINK) << "the second read sees the link";
    EXPECT_EQ(Mdio(recorder_, "read", 0, 1).size(), 2u);
}

TEST_F(PhyPortTest, AsynchronousWriteDoesNotWaitForDone) {
    host::device::DeviceConfig config;
    config.phys = {Phy(2, 0x406210)};
    Start(config);
    AtDispatch(*adapter_, [&] {
        record_->NextStep = [](AdapterRecord* a) -> ULONG {
            return ReadPhyRegisterAsync(a, 2, PHY_ADVERTISEMENT, RecordStatus);
        };
        WritePhyRegisterAsync(record_, 2, PHY_ADVERTISEMENT, 0x0061);
    });
    world_.RunFor(20'000);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0], 0x0061);
    // No read-back of the command register between the write and the next request.
    EXPECT_TRUE(Controls(recorder_, 0xF0, 0x28).empty());
    EXPECT_EQ(RegisterWrites(recorder_, 0x25),
              (std::vector<std::string>{"02610024", "02000044"}));
}

TEST_F(PhyPortTest, PortThatNeverSaysDoneCostsABoundedPollWhileTheCommandsStillRun) {
    host::device::DeviceConfig config;
    config.phys = {Phy(1, 0x225410, nullptr, 0x782D)};
    Start(config);
    device_->Faults().phyNeverDone = true;
    USHORT value = 0;
    const uint64_t start = world_.NowUs();
    AtPassive(*adapter_, [&] {
        value = ReadPhyRegister(record_, 1, PHY_STATUS);
        WritePhyRegister(record_, 1, PHY_CONTROL, 0x0C00);
    });
    // Both gave up within a bounded time, each after a bounded run of read-backs, none of
    // which showed the done bit.
    EXPECT_LT(world_.NowUs() - start, 2'000'000u);
    const auto readBacks = Controls(recorder_, 0xF0, 0x25);
    const auto doneReads = Controls(recorder_, 0xF0, 0x28);
    ASSERT_GT(readBacks.size(), 1u);
    ASSERT_GT(doneReads.size(), 1u);
    for (const auto& l : readBacks) EXPECT_EQ(std::stoul(l["data"].get<std::string>().substr(6, 2), nullptr, 16) & 0x80, 0u);
    for (const auto& l : doneReads) EXPECT_EQ(std::stoul(l["data"].get<std::string>().substr(0, 2), nullptr, 16) & 0x80, 0u);
    // The give-up value is what an address where nothing answers reads (which discovery skips
    // and the link tests take as no link), not the PHY's answer, which the port never vouched for.
    EXPECT_EQ(value, 0xFFFF);
    // The management bus ran both commands all the same.
    EXPECT_EQ(Mdio(recorder_, "read", 1, 1).size(), 1u);
    EXPECT_EQ(device_->Phy(1)->Peek(0), 0x0C00);
}

class EepromTest : public PhyPortTest {};

TEST_F(EepromTest, StationAddressComesFromWordsZeroToTwoLowByteFirst) {
    host::device::DeviceConfig config;
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    config.eeprom = host::device::EepromFromAddress(mac);
    Start(config);
    const AdapterRecord& r = RecordOf(*adapter_);
    EXPECT_EQ(std::vector<UCHAR>(r.PermanentAddress, r.PermanentAddress + 6),
              std::vector<UCHAR>(mac, mac + 6));
    EXPECT_EQ(std::vector<UCHAR>(r.CurrentAddress, r.CurrentAddress + 6),
              std::vector<UCHAR>(mac, mac + 6));
}

TEST_F(EepromTest, DoneBitThatNeverComesCostsHundredPollsAndTheWordIsUsed) {
    host::device::DeviceConfig config;
    config.eeprom[0] = 0xBEEF;
    Start(config);
    device_->Faults().eepromNeverDone = true;
    USHORT word = 0;
    const uint64_t start = world_.NowUs();
    AtPassive(*adapter_, [&] { word = ReadEepromWord(record_, 0); });
    EXPECT_EQ(word, 0xBEEF);
    const auto polls = Controls(recorder_, 0xF0, 0x23);
    EXPECT_EQ(polls.size(), 100u);
    for (size_t i = 1; i < polls.size(); ++i)
        EXPECT_GE(polls[i]["t_us"].get<uint64_t>() - polls[i - 1]["t_us"].get<uint64_t>(), 500u);
    EXPECT_GE(world_.NowUs() - start, 100u * 500u);
    EXPECT_EQ(RegisterWrites(recorder_, 0x20), std::vector<std::string>{"00000002"});
}

}  // namespace
