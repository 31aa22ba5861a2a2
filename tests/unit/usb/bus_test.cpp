// The USB stack below the miniport, driven with URBs as a client driver sends them and answered
// by the scripted device: when requests complete, what reaches the device and comes back, and
// what fault plans (late, silent, stalled and failed requests, a vanished device), cancellation
// and pipe aborts do to requests in flight.
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
    NdisMGetDeviceProperty(adapter_.Handle(), &pdo, &fdo, &next, nullptr, nullptr);
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

// ---- late and silent requests, cancellation, a vanished device ----

constexpr uint64_t kJitter = 250;
uint64_t Boundary(uint64_t t) { return (t / 1000 + 1) * 1000; }

TEST_F(UsbBusTest, LateControlRequestIsAnsweredThatMuchLaterNeverInsideTheCallAndHoldsThePipe) {
    BusOf().Faults().inlinePercent = 100;  // unplanned requests would complete inside the call
    BusOf().Faults().ArmControl(BusFaults::ControlFault::Late, 1, 1, 7'000);
    world_.RunFor(400);
    uint8_t a[2], b[2];
    AsyncUrb late, behind;
    BuildVendorRequest(late.urb, true, kReadRegisters, 0, a, sizeof a);
    BuildVendorRequest(behind.urb, true, kReadRegisters, 2, b, sizeof b);
    const uint64_t sent = world_.NowUs();
    late.Submit(Bus());
    behind.Submit(Bus());
    EXPECT_FALSE(late.Done()) << "a late request completed inside IofCallDriver";
    EXPECT_EQ(BusOf().Delayed(), 1u);
    world_.RunFor(20'000);
    ASSERT_TRUE(late.Done() && behind.Done());
    EXPECT_GE(late.probe.at, Boundary(sent) + 7'000);
    EXPECT_LE(late.probe.at, Boundary(sent) + 7'000 + kJitter);
    EXPECT_EQ(late.probe.status, STATUS_SUCCESS) << "late, not failed";
    EXPECT_GT(behind.probe.at, late.probe.at) << "the default pipe answers in order";
    EXPECT_EQ(BusOf().Stats().faultsInjected, 1u);
    EXPECT_EQ(BusOf().Delayed(), 0u);
    ExpectClean();
}

TEST_F(UsbBusTest, SilentRunOfControlRequestsHangsTheDefaultPipeOneCancelAtATime) {
    BusOf().Faults().ArmControl(BusFaults::ControlFault::Silent, 2, 3);
    uint8_t data[5][2];
    AsyncUrb r[5];
    for (int i = 0; i < 5; ++i) {
        BuildVendorRequest(r[i].urb, true, kReadRegisters, static_cast<USHORT>(i), data[i], 2);
        r[i].Submit(Bus());
    }
    world_.RunFor(60'000'000);
    EXPECT_TRUE(r[0].Done());
    for (int i = 1; i < 5; ++i) EXPECT_FALSE(r[i].Done()) << "request " << i;
    // Requests 2 to 4 are never answered: each waits until its sender gives it up, and the
    // request behind them waits its turn.
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(IoCancelIrp(r[i].irp), TRUE);
        world_.RunFor(10'000);
        EXPECT_EQ(r[i].probe.status, STATUS_CANCELLED);
        EXPECT_EQ(r[4].Done(), i == 3) << "after cancelling request " << i;
    }
    EXPECT_EQ(r[4].probe.status, STATUS_SUCCESS);
    EXPECT_EQ(device_->controlLog.size(), 2u) << "only the answered requests reached the device";
    EXPECT_EQ(BusOf().Stats().faultsInjected, 3u);
    EXPECT_EQ(BusOf().Outstanding(), 0u);
    ExpectClean();
}

TEST_F(UsbBusTest, PipeResetIsAControlRequestForThePlansAndAnAbortNeverWaitsOrIsFaulted) {
    const auto pipes = SelectConfiguration(Bus(), *device_);
    URB reset, abort;
    BuildPipeRequest(abort, URB_FUNCTION_ABORT_PIPE, pipes[1]);
    BuildPipeRequest(reset, URB_FUNCTION_RESET_PIPE, pipes[1]);
    BusOf().Faults().ArmControl(BusFaults::ControlFault::Stall, 1);
    EXPECT_EQ(SubmitAndWait(Bus(), abort), STATUS_SUCCESS) << "the plan does not count aborts";
    EXPECT_EQ(SubmitAndWait(Bus(), reset), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_STALL_PID);

    // With the default pipe hung on a silent reset, an abort still completes at once.
    BusOf().Faults().ArmControl(BusFaults::ControlFault::Silent, 1);
    AsyncUrb silentReset, abort2;
    BuildPipeRequest(silentReset.urb, URB_FUNCTION_RESET_PIPE, pipes[0]);
    BuildPipeRequest(abort2.urb, URB_FUNCTION_ABORT_PIPE, pipes[0]);
    silentReset.Submit(Bus());
    abort2.Submit(Bus());
    world_.RunFor(5'000);
    EXPECT_TRUE(abort2.Done());
    EXPECT_EQ(abort2.probe.status, STATUS_SUCCESS);
    EXPECT_FALSE(silentReset.Done());
    IoCancelIrp(silentReset.irp);
    world_.RunFor(2'000);
    EXPECT_EQ(silentReset.probe.status, STATUS_CANCELLED);
    EXPECT_EQ(BusOf().Stats().faultsInjected, 2u);
    ExpectClean();
}

TEST_F(UsbBusTest, LateBulkTransfersAreAnsweredLaterAReadCountingFromItsData) {
    const auto pipes = SelectConfiguration(Bus(), *device_);
    BusOf().Faults().ArmBulk(BusFaults::ControlFault::Late, 1, 2, 4'000);
    uint8_t out[3] = {1, 2, 3}, in[16];
    AsyncUrb send, read, next;
    BuildBulkTransfer(send.urb, pipes[1], false, out, sizeof out);
    BuildBulkTransfer(read.urb, pipes[0], true, in, sizeof in);
    const uint64_t sent = world_.NowUs();
    send.Submit(Bus());
    read.Submit(Bus());
    world_.RunFor(30'000);
    ASSERT_TRUE(send.Done());
    EXPECT_GE(send.probe.at, Boundary(sent) + 4'000);
    EXPECT_LE(send.probe.at, Boundary(sent) + 4'000 + kJitter);
    EXPECT_FALSE(read.Done()) << "no data yet";
    const uint64_t arrival = world_.NowUs() + 100;
    world_.Scheduler().At(arrival, [this] { device_->QueueBulkIn({7, 7}); });
    world_.RunFor(20'000);
    ASSERT_TRUE(read.Done());
    EXPECT_GE(read.probe.at, Boundary(arrival) + 4'000);
    EXPECT_LE(read.probe.at, Boundary(arrival) + 4'000 + kJitter);
    // The plan was for two transfers: the third is on time.
    BuildBulkTransfer(next.urb, pipes[1], false, out, sizeof out);
    const uint64_t third = world_.NowUs();
    next.Submit(Bus());
    world_.RunFor(5'000);
    ASSERT_TRUE(next.Done());
    EXPECT_LE(next.probe.at, Boundary(third) + kJitter);
    EXPECT_EQ(BusOf().Stats().faultsInjected, 2u);
    ExpectClean();
}

// Every kind of request the bus holds ends through IoCancelIrp exactly once, cancelled, inside
// the call or a little later as the seed says; the bus holds it until then.
TEST(UsbBusCancel, EveryHeldRequestCompletesCancelledExactlyOnce) {
    int inside = 0, later = 0;
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        host::world::World world(seed);
        auto owned = std::make_unique<ScriptedDevice>();
        ScriptedDevice& device = *owned;
        auto& a = world.AddAdapter("A", std::move(owned));
        PDEVICE_OBJECT bus = a.bus->DeviceObject();
        const auto pipes = SelectConfiguration(bus, device);
        uint8_t b[6][8] = {};
        AsyncUrb silent, queued, lateRead, read, lateSend, early;
        a.bus->Faults().ArmControl(BusFaults::ControlFault::Silent, 1);
        BuildVendorRequest(silent.urb, true, kReadRegisters, 0, b[0], 2);
        BuildVendorRequest(queued.urb, true, kReadRegisters, 0, b[1], 2);
        silent.Submit(bus);
        queued.Submit(bus);  // behind the silent one
        a.bus->Faults().ArmBulk(BusFaults::ControlFault::Late, 1, 2, 50'000);
        BuildBulkTransfer(lateSend.urb, pipes[1], false, b[2], 8);
        lateSend.Submit(bus);  // delayed by the plan
        BuildBulkTransfer(lateRead.urb, pipes[0], true, b[3], 8);
        lateRead.Submit(bus);
        device.QueueBulkIn({1, 2, 3});
        world.RunFor(5'000);  // the read has its data and is being delayed
        BuildBulkTransfer(read.urb, pipes[0], true, b[4], 8);
        read.Submit(bus);  // waits behind the delayed read
        // Cancelled before it reached the bus: it ends inside IofCallDriver.
        BuildVendorRequest(early.urb, true, kReadRegisters, 0, b[5], 2);
        early.irp = IoAllocateIrp(bus->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(early.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &early.urb;
        IoSetCompletionRoutine(early.irp, &CompletionProbe::Routine, &early.probe, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCancelIrp(early.irp), FALSE) << "nobody holds it yet";
        EXPECT_EQ(IofCallDriver(bus, early.irp), STATUS_CANCELLED);
        EXPECT_EQ(early.probe.calls, 1);
        const size_t controlBefore = device.controlLog.size();
        EXPECT_EQ(a.bus->Outstanding(), 5u);
        size_t pending = 0;
        for (AsyncUrb* r : {&queued, &lateRead, &silent, &lateSend, &read}) {
            ASSERT_FALSE(r->Done());
            EXPECT_EQ(IoCancelIrp(r->irp), TRUE);
            if (r->Done()) ++inside;
            else ++pending;
        }
        later += static_cast<int>(pending);
        EXPECT_EQ(a.bus->Outstanding(), pending) << "the bus holds what it has not completed";
        world.RunFor(1'000);
        EXPECT_EQ(a.bus->Outstanding(), 0u) << "a cancelled request outlived its millisecond";
        world.RunFor(200'000);
        for (AsyncUrb* r : {&queued, &lateRead, &silent, &lateSend, &read, &early}) {
            EXPECT_EQ(r->probe.calls, 1);
            EXPECT_EQ(r->probe.status, STATUS_CANCELLED);
            EXPECT_EQ(r->urb.UrbHeader.Status, USBD_STATUS_CANCELED);
        }
        EXPECT_EQ(device.controlLog.size(), controlBefore) << "a cancelled request reached the device";
        EXPECT_TRUE(device.bulkOut.empty());
        EXPECT_EQ(a.bus->Stats().cancelled, 6u);
        EXPECT_EQ(world.Verifier().Count(), 0u) << world.Verifier().Describe();
    }
    EXPECT_GT(inside, 0);
    EXPECT_GT(later, 0);
}

TEST_F(UsbBusTest, VanishedDeviceEndsEveryHeldRequestAtOnceAndFailsEveryLaterOne) {
    const auto pipes = SelectConfiguration(Bus(), *device_);
    BusOf().Faults().ArmControl(BusFaults::ControlFault::Silent, 1);
    uint8_t b[5][8] = {};
    AsyncUrb silent, queued, read, lateSend;
    BuildVendorRequest(silent.urb, true, kReadRegisters, 0, b[0], 2);
    BuildVendorRequest(queued.urb, false, kWriteRegisters, 0, b[1], 2);
    BuildBulkTransfer(read.urb, pipes[0], true, b[2], 8);
    BuildBulkTransfer(lateSend.urb, pipes[1], false, b[3], 8);
    BusOf().Faults().ArmBulk(BusFaults::ControlFault::Late, 2, 1, 60'000'000);
    silent.Submit(Bus());
    queued.Submit(Bus());
    read.Submit(Bus());  // waits for data that never comes
    lateSend.Submit(Bus());
    world_.RunFor(10'000);
    EXPECT_EQ(BusOf().Outstanding(), 4u);
    const size_t reached = device_->controlLog.size();
    const uint64_t at = world_.NowUs();
    AtDispatch([&] { BusOf().Vanish(); });
    for (AsyncUrb* r : {&silent, &queued, &read, &lateSend}) {
        ASSERT_TRUE(r->Done());
        EXPECT_EQ(r->probe.at, at);
        EXPECT_EQ(r->probe.status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(r->urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    }
    EXPECT_EQ(BusOf().Outstanding(), 0u);
    // Later requests fail too, at the next frame, whatever plan was waiting for them.
    BusOf().Faults().ArmControl(BusFaults::ControlFault::Silent, 1);
    AsyncUrb after;
    BuildVendorRequest(after.urb, true, kReadRegisters, 0, b[4], 2);
    after.Submit(Bus());
    world_.RunFor(2'000);
    ASSERT_TRUE(after.Done());
    EXPECT_EQ(after.probe.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device_->controlLog.size(), reached);
    EXPECT_TRUE(device_->bulkOut.empty());
    ExpectClean();
}

TEST_F(UsbBusTest, BulkInErrorArmedWhileAReadWaitsFailsThatReadAtTheNextFrame) {
    const auto pipes = SelectConfiguration(Bus(), *device_);
    uint8_t b1[8], b2[8];
    AsyncUrb waiting, next;
    BuildBulkTransfer(waiting.urb, pipes[0], true, b1, sizeof b1);
    waiting.Submit(Bus());
    world_.RunFor(7'300);
    EXPECT_FALSE(waiting.Done());
    const uint64_t armed = world_.NowUs();
    BusOf().FailBulkIn(1);
    world_.RunFor(3'000);
    ASSERT_TRUE(waiting.Done());
    EXPECT_GE(waiting.probe.at, Boundary(armed));
    EXPECT_LE(waiting.probe.at, Boundary(armed) + kJitter);
    EXPECT_EQ(waiting.probe.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(waiting.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    // The error was spent: the next read waits for data again.
    BuildBulkTransfer(next.urb, pipes[0], true, b2, sizeof b2);
    next.Submit(Bus());
    world_.RunFor(10'000);
    EXPECT_FALSE(next.Done());
    EXPECT_EQ(BusOf().Stats().faultsInjected, 1u);
    IoCancelIrp(next.irp);
    world_.RunFor(2'000);
    ExpectClean();
}

}  // namespace
