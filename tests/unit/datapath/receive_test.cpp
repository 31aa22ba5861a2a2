// The receive path, fed raw bulk-in transfers: how each transfer is judged by its length and
// status byte, the order of indications, and when reading stops and resumes.
#include <gtest/gtest.h>

#include "driver/datapath/descriptors.h"
#include "tests/support/world_fixture.h"

namespace {

// A bulk-in transfer: `frame`, then 4 check-sequence bytes, then a trailer with `status` at n-2.
std::vector<uint8_t> Transfer(const std::vector<uint8_t>& frame, uint8_t status) {
    std::vector<uint8_t> t = frame;
    t.insert(t.end(), {0xC1, 0xC2, 0xC3, 0xC4, 0x00, 0x00, status, 0x00});
    return t;
}

std::vector<uint8_t> Frame(size_t n, uint8_t seed) {
    std::vector<uint8_t> f(n);
    for (size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(seed ^ (i * 5));
    return f;
}

class ReceiveTest : public testing_support::WorldTest {
protected:
    void Start(host::ndis::Registry registry = {}) {
        adapter_ = &AddScripted("A", std::move(registry), &device_);
        ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        record_ = &RecordOf(*adapter_);
    }
    void TearDown() override {
        if (adapter_) world_.Ndis().Halt(*adapter_);
        ExpectClean();
    }
    const std::vector<host::ndis::ReceivedFrame>& Indicated() const {
        return adapter_->protocol.received;
    }
    size_t ReadsAtTheBus() const { return adapter_->bus->Outstanding(); }

    host::ndis::Adapter* adapter_ = nullptr;
    host::device::ScriptedDevice* device_ = nullptr;
    const AdapterRecord* record_ = nullptr;
};

// A frame already waiting at the device when the adapter starts: start-up's first read takes it
// before MiniportInitialize has returned. It is indicated once NDIS takes indications, not lost
// to a receive timer that does not exist yet.
TEST_F(ReceiveTest, AFrameWaitingAtStartUpIsIndicatedOnceInitializeHasReturned) {
    adapter_ = &AddScripted("A", {}, &device_);
    const std::vector<uint8_t> frame = Frame(64, 0x3C);
    device_->QueueBulkIn(Transfer(frame, 0x00));
    size_t indicatedDuringInitialize = SIZE_MAX;
    adapter_->protocol.onReceive = [&](const host::ndis::ReceivedFrame&) {
        if (adapter_->state != host::ndis::AdapterState::Initialized)
            indicatedDuringInitialize = Indicated().size();
    };
    ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
    record_ = &RecordOf(*adapter_);
    world_.RunFor(20'000);
    EXPECT_EQ(indicatedDuringInitialize, SIZE_MAX) << "indicated before MiniportInitialize returned";
    ASSERT_EQ(Indicated().size(), 1u);
    EXPECT_EQ(Indicated()[0].data, frame);
    EXPECT_EQ(ReadsAtTheBus(), 1u) << "reading went on";
    adapter_->protocol.onReceive = nullptr;
}

TEST_F(ReceiveTest, SeventyTwoByteTransferIsIndicatedAsSixtyFourByteFrame) {
    Start();
    device_->QueueBulkIn(Transfer(Frame(64, 7), 0x00));
    world_.RunFor(10'000);
    ASSERT_EQ(Indicated().size(), 1u);
    EXPECT_EQ(Indicated()[0].data, Frame(64, 7));
    EXPECT_EQ(Indicated()[0].packetStatus, NDIS_STATUS_RESOURCES);
    EXPECT_EQ(record_->RcvOk, 1u);
    EXPECT_EQ(ReadsAtTheBus(), 1u) << "a read is outstanding again";
}

TEST_F(ReceiveTest, ShortTransfersCarryNoFrame) {
    Start();
    device_->QueueBulkIn({});
    device_->QueueBulkIn({0x00});
    world_.RunFor(10'000);
    EXPECT_EQ(record_->RcvOk, 0u);
    EXPECT_TRUE(Indicated().empty());
    EXPECT_EQ(ReadsAtTheBus(), 1u);
    // Eight bytes of trailer and nothing else: counted as received, nothing to indicate.
    device_->QueueBulkIn(Transfer({}, 0x00));
    world_.RunFor(10'000);
    EXPECT_EQ(record_->RcvOk, 1u);
    EXPECT_TRUE(Indicated().empty());
    EXPECT_EQ(ReadsAtTheBus(), 1u);
    EXPECT_EQ(adapter_->bus->Stats().bulkIn, 3u);
}

TEST_F(ReceiveTest, ErrorBitsDropAndAreCountedEachOtherBitsAreIgnored) {
    Start();
    device_->QueueBulkIn(Transfer(Frame(60, 1), 0x06));
    device_->QueueBulkIn(Transfer(Frame(60, 2), 0x18));
    for (uint8_t harmless : {0x01, 0x20, 0x80, 0x40})
        device_->QueueBulkIn(Transfer(Frame(60, harmless), harmless));
    world_.RunFor(50'000);
    EXPECT_EQ(record_->RcvFlag06Count, 2u);
    EXPECT_EQ(record_->RcvError, 1u);
    EXPECT_EQ(record_->RcvFlag10Count, 1u);
    EXPECT_EQ(record_->RcvOk, 4u);
    ASSERT_EQ(Indicated().size(), 4u);
    EXPECT_EQ(Indicated()[0].data, Frame(60, 0x01));
}

TEST_F(ReceiveTest, FramesAreIndicatedInCompletionOrderOnePerCall) {
    // Three descriptors: each packet is reused for frames of other lengths, and what a protocol
    // is told of each (through NdisQueryPacket) must be that frame's length.
    Start({{"RxPacketDesc", 3u}});
    for (uint8_t i = 0; i < 10; ++i) device_->QueueBulkIn(Transfer(Frame(60 + i, i), 0));
    world_.RunFor(50'000);
    ASSERT_EQ(Indicated().size(), 10u);
    for (uint8_t i = 0; i < 10; ++i) EXPECT_EQ(Indicated()[i].data, Frame(60 + i, i));
    const auto lines = recorder_.Of("indicate_receive");
    ASSERT_EQ(lines.size(), 10u);
    for (const auto& l : lines) EXPECT_EQ(l["packet_status"], "0xC000009A");
    EXPECT_EQ(adapter_->protocol.receiveCalls, std::vector<uint32_t>(10, 1))
        << "one NdisMIndicateReceivePacket call per frame";
}

TEST_F(ReceiveTest, WhenEveryDescriptorWaitsReadingPausesAndOneReadRestartsAfterIndication) {
    Start({{"RxPacketDesc", 1u}});
    ASSERT_EQ(record_->RxDescriptorCount, 3u);
    // The receive timer falls due on a 10 ms tick, so three frames land, a millisecond apart,
    // before it runs: the third finds no idle descriptor.
    world_.Ndis().SetTimerGranularity(10'000);
    world_.RunUntil((world_.NowUs() / 10'000 + 1) * 10'000);
    for (uint8_t i = 0; i < 3; ++i) device_->QueueBulkIn(Transfer(Frame(60, i), 0));
    while (record_->RxReadyList.Count < 3) ASSERT_TRUE(world_.Scheduler().RunOne(UINT64_MAX));
    EXPECT_EQ(record_->RxFreeList.Count, 0u);
    EXPECT_EQ(ReadsAtTheBus(), 0u) << "no read outstanding while every descriptor waits";
    EXPECT_TRUE(Indicated().empty());
    world_.RunFor(10'000);
    EXPECT_EQ(Indicated().size(), 3u);
    EXPECT_EQ(ReadsAtTheBus(), 1u) << "exactly one read restarts";
    EXPECT_EQ(record_->RxFreeList.Count, 2u);
}

TEST_F(ReceiveTest, ErrorCompletionStopsReadingForGood) {
    Start();
    adapter_->bus->Faults().bulkInErrors = 1;
    device_->QueueBulkIn(Transfer(Frame(60, 0), 0));
    world_.RunFor(10'000);
    EXPECT_EQ(record_->AdapterState, 18u);
    EXPECT_EQ(record_->RxFreeList.Count, record_->RxDescriptorCount);
    EXPECT_EQ(ReadsAtTheBus(), 0u);
    EXPECT_EQ(record_->RcvOk, 0u);
}

TEST_F(ReceiveTest, ReadThatCannotGetAnIrpReturnsItsDescriptorAndReadingResumes) {
    Start();
    world_.Faults().Arm(host::sim::AllocKind::Irp, 1);
    // The frame's completion starts the next read, which gets no IRP.
    device_->QueueBulkIn(Transfer(Frame(60, 1), 0));
    world_.RunFor(10'000);
    ASSERT_EQ(Indicated().size(), 1u);
    // Every descriptor was idle when the indication ended, so it restarted reading.
    EXPECT_EQ(ReadsAtTheBus(), 1u);
    device_->QueueBulkIn(Transfer(Frame(60, 2), 0));
    world_.RunFor(10'000);
    EXPECT_EQ(Indicated().size(), 2u);
}

TEST_F(ReceiveTest, OverlongReadsAreNotIndicated) {
    Start();
    device_->QueueBulkIn(Transfer(Frame(1520, 3), 0));  // 1528 bytes: beyond the packet's buffer
    device_->QueueBulkIn(Transfer(Frame(1514, 4), 0));
    world_.RunFor(10'000);
    ASSERT_EQ(Indicated().size(), 1u);
    EXPECT_EQ(Indicated()[0].data.size(), 1514u);
    EXPECT_EQ(ReadsAtTheBus(), 1u);
}

}  // namespace
