// The transmit path through MiniportSend, checked on the bulk-out transfers the device receives
// and on what NDIS is told.
#include <gtest/gtest.h>

#include "driver/datapath/descriptors.h"
#include "tests/support/world_fixture.h"

namespace {

std::vector<uint8_t> Frame(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> f(n);
    for (size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(seed + i * 3);
    return f;
}

class TransmitTest : public testing_support::WorldTest {
protected:
    void Start(host::ndis::Registry registry = {}) {
        adapter_ = &AddScripted("A", std::move(registry), &device_);
        ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        record_ = &RecordOf(*adapter_);
        // Completions at their frame boundary, never inside the call: the queue is observable.
        adapter_->bus->Faults().inlinePercent = 0;
    }
    void TearDown() override {
        if (adapter_ && adapter_->state == host::ndis::AdapterState::Initialized)
            world_.Ndis().Halt(*adapter_);
        ExpectClean();
    }
    const host::ndis::SendStats& Sends() const { return adapter_->protocol.sends; }

    host::ndis::Adapter* adapter_ = nullptr;
    host::device::ScriptedDevice* device_ = nullptr;
    const AdapterRecord* record_ = nullptr;
};

TEST_F(TransmitTest, ShortFrameGoesOutPaddedToSixtyBytesBehindItsLength) {
    Start();
    const auto frame = Frame(14);
    world_.Ndis().Send(*adapter_, frame);
    world_.RunFor(10'000);
    ASSERT_EQ(device_->bulkOut.size(), 1u);
    const auto& t = device_->bulkOut[0];
    EXPECT_EQ(t.size(), 60u);
    EXPECT_EQ(t[0], 0x0E);
    EXPECT_EQ(t[1], 0x00);
    EXPECT_EQ(std::vector<uint8_t>(t.begin() + 2, t.begin() + 16), frame);
    EXPECT_EQ(record_->XmitOk, 1u);
    EXPECT_EQ(Sends().completed, 1u);
}

TEST_F(TransmitTest, TransferLengthAvoidsMultiplesOf64) {
    Start();
    const std::pair<size_t, size_t> cases[] = {{60, 62}, {62, 66}, {126, 130}, {1514, 1516}};
    for (auto [n, l] : cases) world_.Ndis().Send(*adapter_, Frame(n, static_cast<uint8_t>(n)), 3);
    world_.RunFor(100'000);
    ASSERT_EQ(device_->bulkOut.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const auto [n, l] = cases[i];
        const auto& t = device_->bulkOut[i];
        EXPECT_EQ(t.size(), l) << "N = " << n;
        EXPECT_EQ(t[0] | (t[1] << 8), static_cast<int>(n));
        // The frame arrives whole across its three buffers.
        EXPECT_EQ(std::vector<uint8_t>(t.begin() + 2, t.begin() + 2 + static_cast<long>(n)),
                  Frame(n, static_cast<uint8_t>(n)));
    }
}

TEST_F(TransmitTest, OneTransferAtTheStackTheRestQueueInOrderAndCompleteAtOnce) {
    Start();
    for (uint8_t i = 0; i < 3; ++i) world_.Ndis().Send(*adapter_, Frame(100, i));
    // Nothing has reached the device yet, and yet all three are complete to NDIS.
    EXPECT_TRUE(device_->bulkOut.empty());
    EXPECT_EQ(record_->BulkOutOutstanding, 3);
    EXPECT_EQ(adapter_->bus->Outstanding(), 2u) << "the outstanding read and one send";
    EXPECT_EQ(Sends().completed, 3u);
    // The first transfer's descriptor comes back; no send has found the list empty, so the
    // return arms nothing.
    while (device_->bulkOut.empty()) ASSERT_TRUE(world_.Scheduler().RunOne(UINT64_MAX));
    EXPECT_FALSE(world_.Ndis().TimerArmed(&record_->ReceiveTimer));
    world_.RunFor(20'000);
    ASSERT_EQ(device_->bulkOut.size(), 3u);
    for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(device_->bulkOut[i][2], Frame(100, i)[0]) << int(i);
    EXPECT_EQ(record_->BulkOutOutstanding, 0);
    EXPECT_EQ(record_->XmitOk, 3u);
    EXPECT_EQ(record_->TxFreeList.Count, 20u);
}

TEST_F(TransmitTest, NoFreeDescriptorAnswersResourcesAndLaterReturnsArmTheReceiveTimer) {
    Start({{"TxPacketDesc", 2u}});
    for (uint8_t i = 0; i < 3; ++i) world_.Ndis().Send(*adapter_, Frame(80, i));
    EXPECT_EQ(Sends().completed, 2u);
    EXPECT_EQ(Sends().resourcesAnswers, 1u);
    EXPECT_EQ(record_->TxResourcesExhausted, 1);
    EXPECT_FALSE(world_.Ndis().TimerArmed(&record_->ReceiveTimer));
    // Step until the first transfer has completed: its descriptor's return arms the timer.
    while (device_->bulkOut.empty()) ASSERT_TRUE(world_.Scheduler().RunOne(UINT64_MAX));
    EXPECT_TRUE(world_.Ndis().TimerArmed(&record_->ReceiveTimer));
    world_.RunFor(50'000);
    EXPECT_EQ(device_->bulkOut.size(), 3u) << "the refused packet was offered again and sent";
    EXPECT_EQ(record_->TxResourcesExhausted, 1) << "never cleared";
}

TEST_F(TransmitTest, CompletionInsideTheCallWithAnErrorFailsTheSendAndReturnsTheDescriptorOnce) {
    Start();
    const PacketDescriptor* head = record_->TxFreeList.Head;
    adapter_->bus->Faults().irpCompleteError = true;
    world_.Ndis().Send(*adapter_, Frame(64));
    EXPECT_EQ(Sends().failures, 1u);
    EXPECT_EQ(Sends().completed, 0u);
    EXPECT_EQ(record_->TxFreeList.Count, 20u);
    EXPECT_EQ(record_->TxFreeList.Tail, head) << "returned by the completion, at the tail";
    EXPECT_EQ(record_->BulkOutOutstanding, 0);
    EXPECT_EQ(record_->XmitOk, 0u);
    size_t seen = 0;
    for (const PacketDescriptor* d = record_->TxFreeList.Head; d; d = d->Next) seen += d == head;
    EXPECT_EQ(seen, 1u);
}

TEST_F(TransmitTest, PacketLongerThanAFrameIsRefusedWithoutCopy) {
    Start();
    world_.Ndis().Send(*adapter_, Frame(1515), 2);
    world_.Ndis().Send(*adapter_, Frame(4000), 3);
    world_.RunFor(10'000);
    EXPECT_EQ(Sends().failures, 2u);
    EXPECT_TRUE(device_->bulkOut.empty());
    EXPECT_EQ(record_->TxFreeList.Count, 20u);
}

TEST_F(TransmitTest, QueueEntryThatCannotBeHadFailsBeforeTheHandOver) {
    Start();
    world_.Ndis().Send(*adapter_, Frame(64, 1));
    const PacketDescriptor* head = record_->TxFreeList.Head;
    world_.Faults().Arm(host::sim::AllocKind::RequestBlock, 1);
    world_.Ndis().Send(*adapter_, Frame(64, 2));
    EXPECT_EQ(Sends().failures, 1u);
    EXPECT_EQ(record_->BulkOutOutstanding, 1);
    EXPECT_EQ(record_->TxFreeList.Count, 19u);
    EXPECT_EQ(record_->TxFreeList.Head, head) << "put back where it was taken, at the head";
    world_.RunFor(10'000);
    ASSERT_EQ(device_->bulkOut.size(), 1u);
    EXPECT_EQ(record_->TxFreeList.Count, 20u);
}

TEST_F(TransmitTest, AfterAFailedReceiveEverySendFails) {
    Start();
    adapter_->bus->Faults().bulkInErrors = 1;
    device_->QueueBulkIn(std::vector<uint8_t>(72, 0));
    world_.RunFor(10'000);
    ASSERT_EQ(record_->AdapterState, 18u);
    const PacketDescriptor* head = record_->TxFreeList.Head;
    for (uint8_t i = 0; i < 3; ++i) world_.Ndis().Send(*adapter_, Frame(64, i));
    EXPECT_EQ(Sends().failures, 3u);
    EXPECT_EQ(record_->TxFreeList.Count, 20u);
    EXPECT_EQ(record_->TxFreeList.Head, head);
    world_.RunFor(10'000);
    EXPECT_TRUE(device_->bulkOut.empty());
}

}  // namespace
