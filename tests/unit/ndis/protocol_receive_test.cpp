// The protocol side reading received packets through NDIS, as real protocols do: the total
// length NdisQueryPacket tells (cached until the packet's counts are recalculated), then the
// buffer chain. What it reports: a told length that is not what the buffers hold or what the bus
// put in the buffer, a runt, and an indication before initialise returned (dropped).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/verifier/verifier.h"
#include "tests/support/platform_fixture.h"

namespace {

namespace check = host::verifier::check;
using host::device::ScriptedDevice;
using testing_support::AsyncUrb;
using testing_support::BuildBulkTransfer;
using testing_support::StubMiniport;

// A receive packet as a miniport keeps one: a packet over one buffer of 1514 bytes, with the
// Ethernet header size and NDIS_STATUS_RESOURCES in its out-of-band data.
struct ReceiveKit {
    uint8_t data[1536];
    NDIS_HANDLE packets = nullptr, buffers = nullptr;
    PNDIS_PACKET packet = nullptr;
    PNDIS_BUFFER buffer = nullptr;

    ReceiveKit() {
        for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i * 7);
        NDIS_STATUS s;
        NdisAllocatePacketPool(&s, &packets, 2, 16);
        NdisAllocateBufferPool(&s, &buffers, 2);
        NdisAllocatePacket(&s, &packet, packets);
        NdisAllocateBuffer(&s, &buffer, buffers, data, 1514);
        NDIS_SET_PACKET_HEADER_SIZE(packet, 14);
        NDIS_SET_PACKET_STATUS(packet, NDIS_STATUS_RESOURCES);
        NdisChainBufferAtFront(packet, buffer);
    }
    ~ReceiveKit() {
        NdisFreeBuffer(buffer);
        NdisFreePacket(packet);
        NdisFreePacketPool(packets);
        NdisFreeBufferPool(buffers);
    }
    std::vector<uint8_t> First(size_t n) const { return std::vector<uint8_t>(data, data + n); }
};

class ProtocolReceiveTest : public testing_support::PlatformTest {
protected:
    ScriptedDevice* device_ = nullptr;
    host::ndis::Adapter& adapter_ = AddScripted("A", {}, &device_);
    StubMiniport stub_;

    void Indicate(PNDIS_PACKET* packets, UINT count) {
        AtDispatch([&] { NdisMIndicateReceivePacket(adapter_.Handle(), packets, count); }, adapter_.id);
    }
    void Indicate(ReceiveKit& kit, UINT length, bool recalculate) {
        NdisAdjustBufferLength(kit.buffer, length);
        if (recalculate) NdisRecalculatePacketCounts(kit.packet);
        Indicate(&kit.packet, 1);
    }
    const std::vector<host::ndis::ReceivedFrame>& Received() { return adapter_.protocol.received; }
};

TEST_F(ProtocolReceiveTest, ProtocolCopiesTheToldLengthAndAStaleCachedLengthIsReported) {
    ASSERT_EQ(world_.Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    ReceiveKit kit;
    Indicate(kit, 60, true);
    ExpectClean();
    // Only the buffer's length changed: NdisQueryPacket still tells the cached 60 bytes.
    Indicate(kit, 100, false);
    ExpectOnly(check::kReceiveLength);
    Indicate(kit, 100, true);
    ExpectOnly(check::kReceiveLength);
    ASSERT_EQ(Received().size(), 3u);
    EXPECT_EQ(Received()[0].data, kit.First(60));
    EXPECT_EQ(Received()[1].data, kit.First(60)) << "the protocol copies what it was told";
    EXPECT_EQ(Received()[2].data, kit.First(100));
    EXPECT_EQ(Received()[2].packetStatus, NDIS_STATUS_RESOURCES);
    const auto lines = recorder_.Of("indicate_receive");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1]["length"], 60);
    world_.Ndis().Halt(adapter_);
}

TEST_F(ProtocolReceiveTest, ToldLengthMustBeTheFrameTheBusPutInTheBuffer) {
    ASSERT_EQ(world_.Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    const auto pipes = testing_support::SelectConfiguration(adapter_.bus->DeviceObject(), *device_);
    ReceiveKit kit;
    // A 68-byte transfer lands in the packet's buffer: a 60-byte frame and its 8-byte trailer.
    std::vector<uint8_t> transfer(68, 0x5A);
    device_->QueueBulkIn(transfer);
    AsyncUrb read;
    BuildBulkTransfer(read.urb, pipes[0], true, kit.data, 1536);
    read.Submit(adapter_.bus->DeviceObject());
    world_.RunFor(5'000);
    ASSERT_TRUE(read.Done());
    Indicate(kit, 64, true);  // the trailer's first bytes taken for frame
    ExpectOnly(check::kReceiveLength);
    EXPECT_NE(Verifier().Violations()[0].detail.find("landed in its buffer has 60"), std::string::npos)
        << Verifier().Describe();
    Indicate(kit, 60, true);
    ExpectOnly(check::kReceiveLength);
    // The runt rule holds whatever landed: 13 bytes are shorter than the 14-byte header.
    Indicate(kit, 13, true);
    EXPECT_EQ(Verifier().Count(check::kReceiveRunt), 1u) << Verifier().Describe();
    Indicate(kit, 14, true);
    EXPECT_EQ(Verifier().Count(check::kReceiveRunt), 1u) << Verifier().Describe();
    world_.Ndis().Halt(adapter_);
}

TEST_F(ProtocolReceiveTest, EveryCallIsRecordedWithItsPacketCount) {
    ASSERT_EQ(world_.Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    ReceiveKit one, two;
    NdisAdjustBufferLength(one.buffer, 60);
    NdisAdjustBufferLength(two.buffer, 70);
    NdisRecalculatePacketCounts(one.packet);
    NdisRecalculatePacketCounts(two.packet);
    PNDIS_PACKET both[2] = {one.packet, two.packet};
    Indicate(both, 2);
    Indicate(&one.packet, 1);
    EXPECT_EQ(adapter_.protocol.receiveCalls, (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(adapter_.protocol.receiveCallCount, 2u);
    ASSERT_EQ(Received().size(), 3u);
    EXPECT_EQ(Received()[1].data.size(), 70u);
    ExpectClean();
    world_.Ndis().Halt(adapter_);
}

TEST_F(ProtocolReceiveTest, IndicationBeforeInitialiseReturnedIsDroppedAndReported) {
    ReceiveKit kit;
    NdisAdjustBufferLength(kit.buffer, 60);
    NdisRecalculatePacketCounts(kit.packet);
    auto init = stub_.initialize;
    stub_.initialize = [&, init](NDIS_HANDLE handle) {
        const NDIS_STATUS s = init(handle);
        NdisMIndicateReceivePacket(handle, &kit.packet, 1);
        return s;
    };
    ASSERT_EQ(world_.Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    ExpectOnly(check::kReceiveBeforeInit);
    EXPECT_TRUE(Received().empty());
    EXPECT_TRUE(recorder_.Of("indicate_receive").empty());
    EXPECT_EQ(adapter_.protocol.receiveCalls, std::vector<uint32_t>{1});
    // Once initialise has returned the same packet is taken.
    Indicate(&kit.packet, 1);
    EXPECT_EQ(Received().size(), 1u);
    ExpectOnly(check::kReceiveBeforeInit);
    world_.Ndis().Halt(adapter_);
}

}  // namespace
