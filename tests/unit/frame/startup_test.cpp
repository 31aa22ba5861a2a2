// Start-up with its registry parameters: descriptor counts and their bounds, the "AlivePara"
// register, the station address override, and the descriptors and packets start-up leaves.
#include <gtest/gtest.h>

#include "driver/datapath/descriptors.h"
#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace {

using testing_support::RegisterWrites;

class StartupTest : public testing_support::WorldTest {
protected:
    const AdapterRecord& Start(host::ndis::Registry registry) {
        adapter_ = &AddModelled("A" + std::to_string(++started_), host::device::DeviceConfig{},
                                std::move(registry), &device_);
        EXPECT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        return RecordOf(*adapter_);
    }
    void Stop() {
        world_.Ndis().Halt(*adapter_);
        EXPECT_EQ(LiveResources(*adapter_), 0u);
    }
    void TearDown() override { ExpectClean(); }
    std::vector<uint8_t> NodeAddress() const {
        std::vector<uint8_t> a;
        for (int i = 0; i < 6; ++i) a.push_back(device_->Register(static_cast<uint8_t>(0x10 + i)));
        return a;
    }

    int started_ = 0;
    host::ndis::Adapter* adapter_ = nullptr;
    host::device::AdapterDevice* device_ = nullptr;
};

TEST_F(StartupTest, DescriptorCountsAreDefaultedRaisedAndBounded) {
    struct Case {
        host::ndis::Registry registry;
        ULONG tx, rx;
    };
    const Case cases[] = {
        {{}, 20, 20},
        {{{"RxPacketDesc", 0u}}, 20, 3},
        {{{"RxPacketDesc", 2u}}, 20, 3},
        {{{"RxPacketDesc", 3u}}, 20, 3},
        {{{"TxPacketDesc", 0u}}, 20, 20},
        {{{"TxPacketDesc", std::string("14")}, {"RxPacketDesc", std::string("a")}}, 20, 10},
        {{{"TxPacketDesc", 0xFFFFFFFFu}, {"RxPacketDesc", 0x80000001u}}, 256, 256},
    };
    for (const Case& c : cases) {
        const AdapterRecord& r = Start(c.registry);
        EXPECT_EQ(r.TxDescriptorCount, c.tx) << started_;
        EXPECT_EQ(r.RxDescriptorCount, c.rx) << started_;
        EXPECT_EQ(r.TxFreeList.Count, c.tx) << started_;
        // One receive descriptor is out on the first read.
        EXPECT_EQ(r.RxFreeList.Count + 1, c.rx) << started_;
        Stop();
    }
}

TEST_F(StartupTest, AliveParameterPicksTheCodeForRegister0x1C) {
    const std::pair<uint32_t, std::string> cases[] = {
        {1, "8100"}, {2, "8400"}, {3, "9000"}, {4, "9f00"}, {7, "8100"}};
    for (auto [value, bytes] : cases) {
        recorder_.Clear();
        Start({{"AlivePara", value}});
        EXPECT_EQ(RegisterWrites(recorder_, 0x1C), std::vector<std::string>{bytes}) << value;
        Stop();
    }
    recorder_.Clear();
    Start({});
    EXPECT_TRUE(RegisterWrites(recorder_, 0x1C).empty());
    EXPECT_EQ(RecordOf(*adapter_).AliveParameter, 0u);
    Stop();
}

TEST_F(StartupTest, SixByteOverrideBecomesTheStationAddressOthersAreIgnored) {
    const std::vector<uint8_t> eeprom = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    const AdapterRecord& r = Start({{"NetworkAddress", std::string("02-00-00-00-00-01")}});
    EXPECT_EQ(std::vector<uint8_t>(r.CurrentAddress, r.CurrentAddress + 6),
              (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x01}));
    EXPECT_EQ(std::vector<uint8_t>(r.PermanentAddress, r.PermanentAddress + 6), eeprom);
    EXPECT_EQ(NodeAddress(), (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x01}));
    EXPECT_EQ(RegisterWrites(recorder_, 0x10), std::vector<std::string>{"020000000001"});
    Stop();

    for (const char* bad : {"02-00-00-00-01", "02-00-00-00-00-00-00-01"}) {
        const AdapterRecord& other = Start({{"NetworkAddress", std::string(bad)}});
        EXPECT_EQ(std::vector<uint8_t>(other.CurrentAddress, other.CurrentAddress + 6), eeprom) << bad;
        EXPECT_EQ(NodeAddress(), eeprom) << bad;
        EXPECT_TRUE(adapter_->errorLog.empty()) << bad;
        Stop();
    }

    // Six bytes no station may send from: a multicast or broadcast address, or all zeros. The
    // EEPROM address stays in use, and the event log says which override was refused.
    struct Refused {
        const char* text;
        uint32_t high, low;
    };
    for (const Refused& bad : {Refused{"01-00-5E-00-00-01", 0x01005E00, 0x0001},
                               Refused{"FF-FF-FF-FF-FF-FF", 0xFFFFFFFF, 0xFFFF},
                               Refused{"00-00-00-00-00-00", 0, 0}}) {
        recorder_.Clear();
        const AdapterRecord& other = Start({{"NetworkAddress", std::string(bad.text)}});
        EXPECT_EQ(NodeAddress(), eeprom) << bad.text;
        const auto current = world_.Ndis().Query(*adapter_, OID_802_3_CURRENT_ADDRESS, 6);
        EXPECT_EQ(std::vector<uint8_t>(current.buffer.begin(), current.buffer.begin() + 6), eeprom)
            << bad.text;
        ASSERT_EQ(adapter_->errorLog.size(), 1u) << bad.text;
        EXPECT_EQ(adapter_->errorLog[0].code, 0xC0001390u) << "NDIS_ERROR_CODE_NETWORK_ADDRESS";
        EXPECT_EQ(adapter_->errorLog[0].values, (std::vector<uint32_t>{bad.high, bad.low}));
        EXPECT_EQ(recorder_.Where([](const auto& l) { return l["ev"] == "error_log"; }).size(), 1u);
        (void)other;
        Stop();
    }
}

TEST_F(StartupTest, MulticastHashIsOpenAfterStartUp) {
    Start({});
    EXPECT_EQ(RegisterWrites(recorder_, 0x08), std::vector<std::string>{"ffffffffffffffff"});
    Stop();
}

TEST_F(StartupTest, MediaTypeBeyondTheForcedMediaIsAutomatic) {
    EXPECT_EQ(Start({{"MediaType", 9u}}).MediaTypeSetting, 0u);
    Stop();
    EXPECT_EQ(Start({{"MediaType", 4u}}).MediaTypeSetting, 4u);
    Stop();
}

TEST_F(StartupTest, DescriptorsSitOnTheirListsInBlockOrderWithTheirPacketsSetUp) {
    const AdapterRecord& r = Start({});
    const PacketDescriptor* first = r.TxFreeList.Head;
    ASSERT_NE(first, nullptr);
    // Transmit descriptors 0..19 in order; receive descriptors inserted at the head, so the last
    // one led the list and went out on the first read.
    EXPECT_EQ(r.TxFreeList.Tail, first + 19);
    EXPECT_EQ(r.RxFreeList.Head, first + 38);
    EXPECT_EQ(r.RxFreeList.Tail, first + 20);
    EXPECT_EQ(r.RxReadyList.Count, 0u);
    EXPECT_EQ(r.PacketsAllocated, 1);
    for (ULONG k = 0; k < 20; ++k) {
        EXPECT_EQ(static_cast<const PacketSlot*>(first[k].PacketEntry),
                  static_cast<const PacketSlot*>(first[0].PacketEntry) + k);
    }
    // Pair 0 went to the head of the receive list at creation: descriptor 39.
    const auto* pair0 = static_cast<const PacketPair*>(first[39].PacketEntry);
    for (ULONG i = 20; i < 40; ++i) {
        const auto* pair = static_cast<const PacketPair*>(first[i].PacketEntry);
        EXPECT_EQ(pair, pair0 + (39 - i));
        EXPECT_EQ(DescriptorOfPacket(pair->Packet), &first[i]);
        EXPECT_EQ(NDIS_GET_PACKET_HEADER_SIZE(pair->Packet), 14u);
        EXPECT_EQ(pair->Packet->Private.Head, pair->Buffer);
        EXPECT_EQ(pair->Buffer->ByteCount, 1514u);
        EXPECT_EQ(pair->Buffer->MappedSystemVa, first[i].Buffer);
        EXPECT_EQ(first[i].Adapter, &r);
    }
    Stop();
}

}  // namespace
