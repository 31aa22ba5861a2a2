// Register access by vendor request, checked on the bytes that reach the device: setup packets,
// data stages, and what the asynchronous forms do when the request fails or cannot be sent.
#include <gtest/gtest.h>

#include "driver/usb/registers.h"
#include "tests/support/trace_queries.h"
#include "tests/support/world_fixture.h"

namespace {

using testing_support::Controls;
using testing_support::Json;

// A continuation that records that it ran.
int g_continuations = 0;
ULONG CountingStep(AdapterRecord*) {
    ++g_continuations;
    return RESULT_SUCCESS;
}

class RegisterAccessTest : public testing_support::WorldTest {
protected:
    void SetUp() override {
        g_continuations = 0;
        adapter_ = &AddModelled("A", host::device::DeviceConfig{}, {}, &device_);
        ASSERT_EQ(world_.Ndis().Initialize(*adapter_), NDIS_STATUS_SUCCESS);
        record_ = MutableRecordOf(*adapter_);
        recorder_.Clear();
    }
    void TearDown() override {
        world_.Ndis().Halt(*adapter_);
        ExpectClean();
    }
    // Lets every due completion run.
    void Settle() { world_.RunFor(20'000); }

    host::ndis::Adapter* adapter_ = nullptr;
    host::device::AdapterDevice* device_ = nullptr;
    AdapterRecord* record_ = nullptr;
};

TEST_F(RegisterAccessTest, OneByteSynchronousWriteCarriesItsByteTwice) {
    AtPassive(*adapter_, [&] {
        record_->RegisterWriteBuffer[0] = 0x04;
        EXPECT_EQ(WriteRegisters(record_, 1, 0x7F), RESULT_SUCCESS);
    });
    const auto writes = Controls(recorder_, 0xF1);
    ASSERT_EQ(writes.size(), 1u);
    const Json& w = writes[0];
    EXPECT_EQ(w["bmRequestType"], 0x40);
    EXPECT_EQ(w["bRequest"], 0xF1);
    EXPECT_EQ(w["wValue"], 0x0004);
    EXPECT_EQ(w["wIndex"], 0x007F);
    EXPECT_EQ(w["wLength"], 1);
    EXPECT_EQ(w["data"], "04");
    EXPECT_EQ(w["sync"], true);
    EXPECT_EQ(device_->Register(0x7F), 0x04);
}

TEST_F(RegisterAccessTest, MultiByteAndAsynchronousWritesCarryZeroValue) {
    AtPassive(*adapter_, [&] {
        record_->RegisterWriteBuffer[0] = 0x26;
        record_->RegisterWriteBuffer[1] = 0x04;
        WriteRegisters(record_, 2, 0x7E);
    });
    AtDispatch(*adapter_, [&] {
        record_->GpioWriteBuffer[0] = 0x06;
        record_->NextStep = CountingStep;
        EXPECT_EQ(WriteRegistersAsync(record_, 1, 0x7F, record_->GpioWriteBuffer),
                  static_cast<ULONG>(STATUS_PENDING));
    });
    Settle();
    const auto writes = Controls(recorder_, 0xF1);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0]["wValue"], 0);
    EXPECT_EQ(writes[0]["data"], "2604");
    EXPECT_EQ(writes[0]["sync"], true);
    EXPECT_EQ(writes[1]["wValue"], 0);
    EXPECT_EQ(writes[1]["wLength"], 1);
    EXPECT_EQ(writes[1]["data"], "06");
    EXPECT_EQ(writes[1]["sync"], false);
    EXPECT_EQ(g_continuations, 1);
}

TEST_F(RegisterAccessTest, ReadFillsOnlyTheBytesItRead) {
    AtPassive(*adapter_, [&] {
        for (UCHAR& b : record_->RegisterReadBuffer) b = 0x5A;
        EXPECT_EQ(ReadRegisters(record_, 2, 0x10), RESULT_SUCCESS);
    });
    // The node address registers hold the station address written at start-up.
    EXPECT_EQ(record_->RegisterReadBuffer[0], 0x00);
    EXPECT_EQ(record_->RegisterReadBuffer[1], 0x11);
    for (int i = 2; i < 20; ++i) EXPECT_EQ(record_->RegisterReadBuffer[i], 0x5A) << i;
    const auto reads = Controls(recorder_, 0xF0);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["bmRequestType"], 0xC0);
    EXPECT_EQ(reads[0]["wIndex"], 0x10);
    EXPECT_EQ(reads[0]["wLength"], 2);
    EXPECT_EQ(reads[0]["short_ok"], false) << "no USBD_SHORT_TRANSFER_OK on a register read";
}

TEST_F(RegisterAccessTest, StalledAsynchronousReadStillRunsNextStepAndKeepsTheBuffer) {
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Stall, 1);
    AtDispatch(*adapter_, [&] {
        for (UCHAR& b : record_->RegisterReadBuffer) b = 0x77;
        record_->NextStep = CountingStep;
        ReadRegistersAsync(record_, 2, 0x10);
    });
    Settle();
    EXPECT_EQ(g_continuations, 1);
    EXPECT_EQ(record_->RegisterReadBuffer[0], 0x77);
    EXPECT_EQ(record_->RegisterReadBuffer[1], 0x77);
    const auto reads = Controls(recorder_, 0xF0);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["result"], "stall");
    EXPECT_EQ(reads[0]["short_ok"], false) << "nor on an asynchronous one";
}

TEST_F(RegisterAccessTest, NoIrpMeansFailureWithTheBlockReleasedAndNoNextStep) {
    const size_t before = LiveResources(*adapter_);
    world_.Faults().Arm(host::sim::AllocKind::Irp, 1);
    AtDispatch(*adapter_, [&] {
        record_->NextStep = CountingStep;
        EXPECT_EQ(WriteRegistersAsync(record_, 2, 0x7E, record_->GpioWriteBuffer), RESULT_FAILURE);
    });
    Settle();
    EXPECT_EQ(g_continuations, 0);
    EXPECT_EQ(LiveResources(*adapter_), before);
    EXPECT_TRUE(Controls(recorder_, 0xF1).empty());
}

TEST_F(RegisterAccessTest, NoRequestBlockMeansFailureAndNothingSent) {
    world_.Faults().Arm(host::sim::AllocKind::RequestBlock, 1);
    AtDispatch(*adapter_, [&] {
        record_->NextStep = CountingStep;
        EXPECT_EQ(ReadRegistersAsync(record_, 2, 0x26), RESULT_FAILURE);
    });
    Settle();
    EXPECT_EQ(g_continuations, 0);
    EXPECT_TRUE(Controls(recorder_).empty());
}

TEST_F(RegisterAccessTest, UnansweredRequestIsCancelledAfterTenSeconds) {
    adapter_->bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 1);
    ULONG result = 0;
    const uint64_t start = world_.NowUs();
    AtPassive(*adapter_, [&] { result = ReadRegisters(record_, 6, 0x10); });
    EXPECT_EQ(result, RESULT_FAILURE);
    EXPECT_GE(world_.NowUs() - start, 10'000'000u);
    EXPECT_LT(world_.NowUs() - start, 10'100'000u);
    const auto reads = Controls(recorder_, 0xF0);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0]["result"], "timeout");
}

}  // namespace
