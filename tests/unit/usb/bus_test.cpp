// The USB stack below the miniport, driven with URBs as a client driver sends them and answered
// by the scripted device: when requests complete, what reaches the device and comes back, and
// what fault plans, cancellation and pipe aborts do to requests in flight.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "host/usb/bus.h"
#include "tests/support/platform_fixture.h"

namespace {

using host::device::ScriptedDevice;
using host::usb::BusFaults;
using testing_support::AsyncUrb;
using testing_support::BuildBulkTransfer;
using testing_support::BuildPipeRequest;
using testing_support::CompletionProbe;
using testing_support::BuildVendorRequest;
using testing_support::SelectConfiguration;
using testing_support::SubmitAndWait;

constexpr UCHAR kReadRegisters = 0xF0;
constexpr UCHAR kWriteRegisters = 0xF1;


class UsbBusTest : public testing_support::PlatformTest {
protected:
    ScriptedDevice* device_ = nullptr;
    host::ndis::Adapter& adapter_ = AddScripted("A", {}, &device_);

    PDEVICE_OBJECT Bus() { return adapter_.bus->DeviceObject(); }
    host::usb::UsbBus& BusOf() { return *adapter_.bus; }
    std::vector<host::trace::Json> Control() { return recorder_.Of("control"); }
};

// ---- control requests ----

TEST(UsbBusTiming, VendorRequestCompletesAtAFrameBoundaryOrInsideTheCallAsTheSeedSays) {
    int inside = 0, atBoundary = 0;
    std::set<uint64_t> boundaryTimes;
    std::vector<uint64_t> firstPass;
    for (int pass = 0; pass < 2; ++pass) {
        for (uint64_t seed = 1; seed <= 40; ++seed) {
            SCOPED_TRACE("seed " + std::to_string(seed));
            host::world::World world(seed);
            host::trace::Recorder recorder(world.Trace());
            auto device = std::make_unique<ScriptedDevice>();
            device->registers[0x10] = 0xDE;
            device->registers[0x11] = 0xAD;
            device->registers[0x12] = 0xBE;
            auto& a = world.AddAdapter("A", std::move(device));
            world.RunFor(1234);

            uint8_t data[3] = {};
            AsyncUrb read;
            BuildVendorRequest(read.urb, true, kReadRegisters, 0x10, data, sizeof data);
            EXPECT_EQ(read.Submit(a.bus->DeviceObject()), STATUS_PENDING)
                << "the bus answers pending even when it completes inside the call";
            const bool inline_ = read.Done();
            world.RunFor(5000);
            ASSERT_TRUE(read.Done());
            if (pass == 0) {
                firstPass.push_back(read.probe.at);
                if (inline_) {
                    ++inside;
                    EXPECT_EQ(read.probe.at, 1234u);
                } else {
                    ++atBoundary;
                    boundaryTimes.insert(read.probe.at);
                    EXPECT_GE(read.probe.at, 2000u);
                    EXPECT_LE(read.probe.at, 2250u);
                    EXPECT_EQ(read.probe.irql, DISPATCH_LEVEL);
                }
            } else {
                EXPECT_EQ(read.probe.at, firstPass[seed - 1]) << "one seed, one timing";
            }
            EXPECT_EQ(read.probe.status, STATUS_SUCCESS);
            EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
            EXPECT_EQ(read.urb.UrbControlVendorClassRequest.TransferBufferLength, 3u);
            EXPECT_EQ(data[0], 0xDE);
            EXPECT_EQ(data[2], 0xBE);

            const auto lines = recorder.Of("control");
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0]["t_us"], read.probe.at);
            EXPECT_EQ(lines[0]["adapter"], "A");
            EXPECT_EQ(lines[0]["dir"], "in");
            EXPECT_EQ(lines[0]["bmRequestType"], 0xC0);
            EXPECT_EQ(lines[0]["bRequest"], kReadRegisters);
            EXPECT_EQ(lines[0]["wIndex"], 0x10);
            EXPECT_EQ(lines[0]["wLength"], 3);
            EXPECT_EQ(lines[0]["data"], "deadbe");
            EXPECT_EQ(lines[0]["result"], "ok");
            EXPECT_EQ(lines[0]["sync"], false);
            EXPECT_EQ(world.Verifier().Count(), 0u) << world.Verifier().Describe();
        }
    }
    EXPECT_GT(inside, 0);
    EXPECT_GT(atBoundary, inside);
    EXPECT_GT(boundaryTimes.size(), 3u) << "the jitter moves completions off the boundary";
}

TEST_F(UsbBusTest, SynchronousVendorWriteReachesTheDeviceRegisters) {
    uint8_t bytes[3] = {0x11, 0x22, 0x33};
    URB urb;
    BuildVendorRequest(urb, false, kWriteRegisters, 0x40, bytes, sizeof bytes);
    EXPECT_EQ(SubmitAndWait(Bus(), urb), STATUS_SUCCESS);
    EXPECT_EQ(device_->registers[0x40], 0x11);
    EXPECT_EQ(device_->registers[0x42], 0x33);
    ASSERT_EQ(device_->controlLog.size(), 1u);
    EXPECT_EQ(device_->controlLog[0].bmRequestType, 0x40);
    EXPECT_EQ(device_->controlLog[0].wLength, 3);
    const auto lines = Control();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["dir"], "out");
    EXPECT_EQ(lines[0]["data"], "112233");
    EXPECT_EQ(lines[0]["sync"], true);
    EXPECT_LE(world_.NowUs(), 1250u);
    EXPECT_EQ(BusOf().Outstanding(), 0u);
    ExpectClean();
}

TEST_F(UsbBusTest, UrbSentToThePhysicalDeviceObjectReachesTheSameBus) {
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr, next = nullptr;
    NdisMGetDeviceProperty(&adapter_, &pdo, &fdo, &next, nullptr, nullptr);
    EXPECT_EQ(next, Bus());
    ASSERT_NE(pdo, nullptr);
    device_->registers[0x05] = 0x5A;
    uint8_t value = 0;
    URB urb;
    BuildVendorRequest(urb, true, kReadRegisters, 0x05, &value, 1);
    EXPECT_EQ(SubmitAndWait(pdo, urb), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x5A);
    ExpectClean();
}

TEST_F(UsbBusTest, PlannedStallAndErrorFailTheirRequestWithoutReachingTheDevice) {
    struct Case {
        BusFaults::ControlFault fault;
        USBD_STATUS usbd;
        const char* result;
    };
    const Case cases[] = {{BusFaults::ControlFault::Stall, USBD_STATUS_STALL_PID, "stall"},
                          {BusFaults::ControlFault::Error, USBD_STATUS_DEV_NOT_RESPONDING, "error"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        recorder_.Clear();
        device_->controlLog.clear();
        BusOf().Faults().ArmControl(c.fault, 2);
        uint8_t data[2];
        URB first, second, third;
        BuildVendorRequest(first, true, kReadRegisters, 0, data, sizeof data);
        BuildVendorRequest(second, true, kReadRegisters, 0, data, sizeof data);
        BuildVendorRequest(third, true, kReadRegisters, 0, data, sizeof data);
        EXPECT_EQ(SubmitAndWait(Bus(), first), STATUS_SUCCESS);
        EXPECT_EQ(SubmitAndWait(Bus(), second), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(second.UrbHeader.Status, c.usbd);
        EXPECT_EQ(second.UrbControlVendorClassRequest.TransferBufferLength, 0u);
        EXPECT_EQ(SubmitAndWait(Bus(), third), STATUS_SUCCESS) << "the plan was for one request";
        EXPECT_EQ(device_->controlLog.size(), 2u);
        const auto lines = Control();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0]["result"], "ok");
        EXPECT_EQ(lines[1]["result"], c.result);
        EXPECT_EQ(lines[1]["bRequest"], kReadRegisters);
        EXPECT_EQ(lines[2]["result"], "ok");
    }
    EXPECT_EQ(BusOf().Stats().faultsInjected, 2u);
    ExpectClean();
}

TEST_F(UsbBusTest, SilentRequestWaitsForeverUntilCancelled) {
    BusOf().Faults().ArmControl(BusFaults::ControlFault::Silent, 1);
    uint8_t data[2];
    AsyncUrb read;
    BuildVendorRequest(read.urb, true, kReadRegisters, 0, data, sizeof data);
    EXPECT_EQ(read.Submit(Bus()), STATUS_PENDING);
    world_.RunFor(1'000'000);
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(BusOf().Outstanding(), 1u);
    EXPECT_TRUE(device_->controlLog.empty());

    world_.RunFor(1234);
    const uint64_t cancelledAt = world_.NowUs();
    EXPECT_EQ(IoCancelIrp(read.irp), TRUE);
    // The cancelled request completes inside IoCancelIrp or within the next millisecond.
    world_.RunFor(1000);
    ASSERT_TRUE(read.Done());
    EXPECT_GE(read.probe.at, cancelledAt);
    EXPECT_LE(read.probe.at, cancelledAt + 1000);
    EXPECT_EQ(read.probe.status, STATUS_CANCELLED);
    EXPECT_EQ(read.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(BusOf().Outstanding(), 0u);
    EXPECT_EQ(BusOf().Stats().cancelled, 1u);
    EXPECT_TRUE(device_->controlLog.empty());
    ExpectClean();
}

TEST_F(UsbBusTest, RequestThatIsNoUrbSubmissionIsRefusedAsABadHandle) {
    CompletionProbe probe;
    PIRP irp = IoAllocateIrp(Bus()->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = 0x1234;
    IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &probe, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(Bus(), irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.status, STATUS_INVALID_PARAMETER);
    IoFreeIrp(irp);
    ExpectOnly(host::verifier::check::kBadHandle);
}

// ---- bulk pipes ----

TEST_F(UsbBusTest, BulkInWaitsForDataThenCompletesAtTheNextFrame) {
    const auto pipes = SelectConfiguration(Bus(), *device_);
    ASSERT_EQ(pipes.size(), 3u);
    EXPECT_EQ(device_->configurationValue, 1);

    uint8_t buffer[64] = {};
    AsyncUrb read;
    BuildBulkTransfer(read.urb, pipes[0], true, buffer, sizeof buffer);
    EXPECT_EQ(read.Submit(Bus()), STATUS_PENDING);
    world_.RunFor(20'000);
    EXPECT_FALSE(read.Done()) << "nothing to read yet";

    const uint64_t arrival = world_.NowUs() + 300;
    world_.Scheduler().At(arrival, [this] { device_->QueueBulkIn({1, 2, 3, 4, 5}); });
    world_.RunFor(5'000);
    ASSERT_TRUE(read.Done());
    const uint64_t boundary = (arrival / 1000 + 1) * 1000;
    EXPECT_GE(read.probe.at, boundary);
    EXPECT_LE(read.probe.at, boundary + 250);
    EXPECT_EQ(read.probe.status, STATUS_SUCCESS);
    EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 0}));
    const auto bulk = recorder_.Of("bulk");
    ASSERT_EQ(bulk.size(), 1u);
    EXPECT_EQ(bulk[0]["ep"], "in");
    EXPECT_EQ(bulk[0]["data"], "0102030405");
    ExpectClean();
}

TEST_F(UsbBusTest, BulkOutDeliversTheBytesInOrder) {
    const auto pipes = SelectConfiguration(Bus(), *device_);
    uint8_t a[4] = {0xA0, 0xA1, 0xA2, 0xA3}, b[2] = {0xB0, 0xB1};
    AsyncUrb first, second;
    BuildBulkTransfer(first.urb, pipes[1], false, a, sizeof a);
    BuildBulkTransfer(second.urb, pipes[1], false, b, sizeof b);
    first.Submit(Bus());
    second.Submit(Bus());
    world_.RunFor(10'000);
    ASSERT_TRUE(first.Done() && second.Done());
    EXPECT_LE(first.probe.at, second.probe.at);
    ASSERT_EQ(device_->bulkOut.size(), 2u);
    EXPECT_EQ(device_->bulkOut[0], std::vector<uint8_t>(a, a + 4));
    EXPECT_EQ(device_->bulkOut[1], std::vector<uint8_t>(b, b + 2));
    ExpectClean();
}

TEST_F(UsbBusTest, AbortPipeCancelsEveryTransferPendingOnItsPipeBeforeItCompletes) {
    const auto pipes = SelectConfiguration(Bus(), *device_);
    std::vector<std::string> order;
    uint8_t b1[16], b2[16], b3[16];
    AsyncUrb read1, read2, abort;
    read1.probe.order = read2.probe.order = abort.probe.order = &order;
    read1.probe.name = "read1";
    read2.probe.name = "read2";
    abort.probe.name = "abort";
    BuildBulkTransfer(read1.urb, pipes[0], true, b1, sizeof b1);
    BuildBulkTransfer(read2.urb, pipes[0], true, b2, sizeof b2);
    read1.Submit(Bus());
    read2.Submit(Bus());
    world_.RunFor(3'000);
    EXPECT_EQ(BusOf().Outstanding(), 2u);

    BuildPipeRequest(abort.urb, URB_FUNCTION_ABORT_PIPE, pipes[0]);
    abort.Submit(Bus());
    world_.RunFor(3'000);
    ASSERT_TRUE(abort.Done());
    EXPECT_EQ(order, (std::vector<std::string>{"read1", "read2", "abort"}));
    EXPECT_EQ(read1.probe.status, STATUS_CANCELLED);
    EXPECT_EQ(read2.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(abort.probe.status, STATUS_SUCCESS);
    EXPECT_EQ(BusOf().Outstanding(), 0u);

    // The pipe works on, and data that arrives now goes to the next read, not a cancelled one.
    device_->QueueBulkIn({9, 8, 7});
    AsyncUrb read3;
    BuildBulkTransfer(read3.urb, pipes[0], true, b3, sizeof b3);
    read3.Submit(Bus());
    world_.RunFor(3'000);
    ASSERT_TRUE(read3.Done());
    EXPECT_EQ(read3.probe.status, STATUS_SUCCESS);
    EXPECT_EQ(read3.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(b3[0], 9);
    ExpectClean();
}

TEST_F(UsbBusTest, AbortOfOnePipeLeavesTheOtherPipesTransfersAlone) {
    const auto pipes = SelectConfiguration(Bus(), *device_);
    uint8_t in[16];
    AsyncUrb read, abort;
    BuildBulkTransfer(read.urb, pipes[0], true, in, sizeof in);
    read.Submit(Bus());
    BuildPipeRequest(abort.urb, URB_FUNCTION_ABORT_PIPE, pipes[1]);
    abort.Submit(Bus());
    world_.RunFor(5'000);
    EXPECT_TRUE(abort.Done());
    EXPECT_FALSE(read.Done());
    device_->QueueBulkIn({1});
    world_.RunFor(2'000);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.probe.status, STATUS_SUCCESS);
    ExpectClean();
}

}  // namespace
