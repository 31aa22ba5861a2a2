// PHY power-down at shutdown, seen at the device: the writes for each set of PHYs in their order,
// none without a PHY, and a media chain that never goes idle costing its bounded waits while the
// port blocks are still written.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/frame/atomic.h"
#include "driver/media/power_down.h"
#include "tests/support/media_fixture.h"
#include "tests/support/platform_fixture.h"

namespace {

using testing_support::Controls;
using testing_support::Mdio;

constexpr uint64_t kMs = 1000;

class PowerDownTest : public testing_support::MediaTest {
protected:
    // Halts the adapter (or only shuts it down, keeping the record) and gives the device writes
    // its shutdown made.
    std::vector<std::string> ShutdownWrites(bool halt = true) {
        recorder_.Clear();
        haltStart_ = world_.NowUs();
        if (halt) Halt();
        else world_.Ndis().Shutdown(*adapter_);
        return DeviceWrites();
    }
    // The link state a protocol reads.
    ULONG MediaConnectStatus() {
        const host::ndis::QueryResult q =
            world_.Ndis().Query(*adapter_, OID_GEN_MEDIA_CONNECT_STATUS, sizeof(ULONG));
        EXPECT_EQ(q.status, NDIS_STATUS_SUCCESS);
        ULONG value = 0;
        std::memcpy(&value, q.buffer.data(), sizeof value);
        return value;
    }
    // Runs the first link poll, which finds the active PHY's link up.
    void ConnectAtTheFirstPoll() {
        world_.RunFor(4000 * kMs);
        ASSERT_EQ(RecordOf(*adapter_).LinkState, LINK_CONNECTED);
        ASSERT_EQ(MediaConnectStatus(), static_cast<ULONG>(NdisMediaStateConnected));
    }
    // When the first register write to `reg` after the halt began reached the device.
    uint64_t WriteTime(int reg) const {
        const auto writes = Controls(recorder_, 0xF1, reg);
        return writes.empty() ? UINT64_MAX : writes.front()["t_us"].get<uint64_t>() - haltStart_;
    }
    uint64_t haltStart_ = 0;
};

TEST_F(PowerDownTest, EthernetBesidePhoneLineWritesOutputsPhyAndPortBlockInOrder) {
    Start({Phy(0, 0x225410, Ethernet(true)), Phy(1, 0x6B90, PhoneLine(false))});
    ConnectAtTheFirstPoll();
    const std::vector<std::string> expected = {"7e=3000", "phy1.0=0c00", "7c=36002620"};
    EXPECT_EQ(ShutdownWrites(false), expected);
    // The no-link port values leave the link state disconnected, with nothing indicated.
    EXPECT_EQ(RecordOf(*adapter_).LinkState, LINK_DISCONNECTED);
    EXPECT_EQ(MediaConnectStatus(), static_cast<ULONG>(NdisMediaStateDisconnected));
    EXPECT_TRUE(recorder_.Of("indicate_status").empty());
    EXPECT_EQ(device_->Phy(1)->Peek(0), 0x0C00);
    EXPECT_EQ(device_->Register(0x7C), 0x36);
    EXPECT_EQ(device_->Register(0x7D), 0x00);
    EXPECT_EQ(device_->Register(0x7E), 0x26);
    EXPECT_EQ(device_->Register(0x7F), 0x20);
    // The Ethernet PHY itself is left alone.
    EXPECT_TRUE(Mdio(recorder_, "write", 0).empty());
    // Nothing waited for a chain: every step followed the one before within a few frames.
    EXPECT_LT(WriteTime(0x7C), 50 * kMs);
}

TEST_F(PowerDownTest, PhoneLine6B90ActiveWritesItsSixByteBlock) {
    host::ndis::Registry phoneLine;
    phoneLine["MediaType"] = 5u;
    Start({Phy(0, 0x225410, Ethernet(true)), Phy(1, 0x6B90, PhoneLine(true))}, phoneLine);
    ASSERT_EQ(RecordOf(*adapter_).ActivePhyId, 0x6B90u);
    ConnectAtTheFirstPoll();
    const std::vector<std::string> expected = {"7e=3000", "phy1.0=0c00", "7c=360026340006"};
    EXPECT_EQ(ShutdownWrites(false), expected);
    EXPECT_EQ(RecordOf(*adapter_).LinkState, LINK_DISCONNECTED);
    EXPECT_EQ(MediaConnectStatus(), static_cast<ULONG>(NdisMediaStateDisconnected));
}

TEST_F(PowerDownTest, LonePhoneLine5C20IsPoweredDownBeforeItsOutputsAreSet) {
    Start({Phy(1, 0x20005C20, PhoneLine(true))});
    const std::vector<std::string> expected = {"phy1.0=0c00", "7e=0606"};
    EXPECT_EQ(ShutdownWrites(), expected);
    // The outputs were written once the PHY write had been carried out.
    const auto mdio = Mdio(recorder_, "write", 1, 0);
    ASSERT_EQ(mdio.size(), 1u);
    EXPECT_LE(mdio[0]["t_us"].get<uint64_t>() - haltStart_, WriteTime(0x7E));
}

TEST_F(PowerDownTest, NoPhyMeansNoDeviceWriteAtAll) {
    AdapterRecord* r = Start({});
    ASSERT_EQ(r->PhyCount, 0);
    ASSERT_EQ(r->PhoneLineSelected, MEDIUM_NO_PHY);
    // Discovery leaves the kind indexes 0 when nothing answered; they must not count as PHYs.
    ASSERT_EQ(r->EthernetPhyIndex, 0);
    ASSERT_EQ(r->PhoneLinePhyIndex, 0);
    EXPECT_TRUE(ShutdownWrites().empty());
    EXPECT_TRUE(Controls(recorder_, 0xF1).empty());
    EXPECT_TRUE(recorder_.Of("mdio").empty());
}

TEST_F(PowerDownTest, StuckChainCostsTwoSecondsInEachOfTheFirstStepsAndThePortBlockStillGoes) {
    AdapterRecord* r = Start({Phy(0, 0x225410, Ethernet(true)), Phy(1, 0x6B90, PhoneLine(false))});
    // A chain that never ends holds the media side busy.
    WriteShared(r->MediaBusy, 1);
    const std::vector<std::string> expected = {"7c=36002620"};
    EXPECT_EQ(ShutdownWrites(), expected);
    EXPECT_TRUE(Mdio(recorder_, "write").empty()) << "the phone-line PHY was skipped";
    const uint64_t t = WriteTime(0x7C);
    EXPECT_GE(t, 4000 * kMs);
    EXPECT_LT(t, 4000 * kMs + 10 * kMs);
}

TEST_F(PowerDownTest, StuckChainStillLetsThe6B90BlockThrough) {
    host::ndis::Registry phoneLine;
    phoneLine["MediaType"] = 5u;
    AdapterRecord* r =
        Start({Phy(0, 0x225410, Ethernet(true)), Phy(1, 0x6B90, PhoneLine(true))}, phoneLine);
    WriteShared(r->MediaBusy, 1);
    const std::vector<std::string> expected = {"7c=360026340006"};
    EXPECT_EQ(ShutdownWrites(), expected);
    EXPECT_GE(WriteTime(0x7C), 4000 * kMs);
}

TEST_F(PowerDownTest, StuckChainWithA5C20SkipsBothThePhyAndItsOutputs) {
    AdapterRecord* r = Start({Phy(1, 0x20005C20, PhoneLine(true))});
    WriteShared(r->MediaBusy, 1);
    EXPECT_TRUE(ShutdownWrites().empty());
    // Only the phone-line step waited, for its 2 s; the device was then told to power down.
    const auto setFeature = Controls(recorder_, 0x03);
    ASSERT_EQ(setFeature.size(), 1u);
    const uint64_t t = setFeature[0]["t_us"].get<uint64_t>() - haltStart_;
    EXPECT_GE(t, 2000 * kMs);
    EXPECT_LT(t, 2000 * kMs + 10 * kMs);
}

TEST_F(PowerDownTest, WaitMediaIdleCountsItsSleepsAndTellsWhetherTheFlagCleared) {
    AdapterRecord* r = Start({Phy(0, 0x225410, Ethernet(true))});
    ULONG idle = 0, timedOut = 0;
    uint64_t idleCost = 0, timeoutCost = 0;
    AtPassive(*adapter_, [&] {
        uint64_t t0 = world_.NowUs();
        idle = WaitMediaIdle(r, 2000);
        idleCost = world_.NowUs() - t0;
        WriteShared(r->MediaBusy, 1);
        t0 = world_.NowUs();
        timedOut = WaitMediaIdle(r, 25);
        timeoutCost = world_.NowUs() - t0;
        WriteShared(r->MediaBusy, 0);
    });
    EXPECT_EQ(idle, RESULT_SUCCESS);
    EXPECT_EQ(idleCost, 0u);
    EXPECT_EQ(timedOut, RESULT_FAILURE);
    EXPECT_EQ(timeoutCost, 25 * kMs);
}

TEST_F(PowerDownTest, LinkGpioWriteWaitsForTheMediaSideAndLeavesItIdle) {
    AdapterRecord* r = Start({Phy(1, 0x20005C20, PhoneLine(true))});
    recorder_.Clear();
    // A lower driver that holds the write it is given until it is cancelled, as a device that
    // does not answer leaves it.
    testing_support::LowerDevice holding(adapter_->bus->DeviceObject()->StackSize);
    PIRP held = nullptr;
    holding.onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        irp->CancelRoutine = [](PDEVICE_OBJECT, PIRP cancelled) NTAPI {
            cancelled->IoStatus.Status = STATUS_CANCELLED;
            IofCompleteRequest(cancelled, 0);
        };
        return STATUS_PENDING;
    };
    ULONG linked = 0, stuck = 0, slow = 0;
    UCHAR busyAfterSlow = 1;
    uint64_t slowCost = 0;
    AtPassive(*adapter_, [&] {
        linked = WriteLinkGpioAndWait(r, LINK_CONNECTED);
        EXPECT_EQ(r->MediaBusy, 0);
        WriteShared(r->MediaBusy, 1);
        stuck = WriteLinkGpioAndWait(r, LINK_DISCONNECTED);
        WriteShared(r->MediaBusy, 0);
        // A write that does not come back within its second: the wait gives up, the write is
        // taken back, and the media side is left idle all the same.
        const PDEVICE_OBJECT bus = r->NextDeviceObject;
        r->NextDeviceObject = &holding.device;
        const uint64_t t0 = world_.NowUs();
        slow = WriteLinkGpioAndWait(r, LINK_CONNECTED);
        slowCost = world_.NowUs() - t0;
        busyAfterSlow = ReadShared(r->MediaBusy);
        r->NextDeviceObject = bus;
    });
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(linked, RESULT_SUCCESS);
    EXPECT_EQ(stuck, RESULT_FAILURE);
    EXPECT_EQ(slow, RESULT_FAILURE);
    EXPECT_EQ(slowCost, 1000 * kMs);
    EXPECT_EQ(busyAfterSlow, 0);
    // Only the first call wrote: 0x06 then 0x04 for a connected link.
    const std::vector<std::string> expected = {"7e=0604"};
    EXPECT_EQ(DeviceWrites(), expected);
}

}  // namespace
