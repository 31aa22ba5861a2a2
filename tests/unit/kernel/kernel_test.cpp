// The emulated kernel as a driver sees it through its published routines: IRPs and their stack
// locations, completion, blocking waits in virtual time, interlocked lists, IRQL and pool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/platform_fixture.h"

namespace {

using testing_support::CompletionProbe;
using testing_support::LowerDevice;

class KernelTest : public testing_support::PlatformTest {};

// ---- IRPs ----

TEST_F(KernelTest, AllocatedIrpCarriesItsStackLocationsInsideItsBlock) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4) << "a fresh IRP stands above its stack";
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->Cancel, FALSE);

    const auto* base = reinterpret_cast<const uint8_t*>(irp);
    const auto* first = reinterpret_cast<const uint8_t*>(IoGetNextIrpStackLocation(irp)) -
                        2 * sizeof(IO_STACK_LOCATION);
    const auto* end = reinterpret_cast<const uint8_t*>(IoGetNextIrpStackLocation(irp) + 1);
    EXPECT_GE(first, base + sizeof(IRP));
    EXPECT_LE(end, base + irp->Size);

    const auto* res = Kernel().Find(irp);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->kind, host::kernel::ResourceKind::Irp);
    IoFreeIrp(irp);
    EXPECT_EQ(Kernel().Find(irp), nullptr);
    ExpectClean();
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// IRPs share slabs: the sanitizer build still sees a freed IRP, and a write past an IRP's last
// stack location, as AddressSanitizer sees a freed or overrun heap block.
TEST_F(KernelTest, AFreedOrOverrunIrpIsCaughtByTheAddressSanitizer) {
    if (!kAddressSanitizer) GTEST_SKIP() << "only the AddressSanitizer build poisons IRPs";
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    PIRP kept = IoAllocateIrp(2, FALSE);
    ASSERT_NE(kept, nullptr);
    auto* past = reinterpret_cast<volatile uint8_t*>(kept) + kept->Size;
    EXPECT_DEATH(*past = 1, "use-after-poison");
    PIRP freed = IoAllocateIrp(2, FALSE);
    ASSERT_NE(freed, nullptr);
    IoFreeIrp(freed);
    EXPECT_DEATH(reinterpret_cast<volatile IRP*>(freed)->Cancel = TRUE, "use-after-poison");
    PIRP next = IoAllocateIrp(2, FALSE);
    EXPECT_NE(next, freed) << "a freed IRP's memory is not handed out again";
    IoFreeIrp(next);
    IoFreeIrp(kept);
    ExpectClean();
}

TEST_F(KernelTest, CallDriverGivesTheDispatchRoutineTheLocationPreparedForIt) {
    LowerDevice lower;
    PIO_STACK_LOCATION seen = nullptr;
    CHAR locationSeen = 0;
    lower.onIrp = [&](PDEVICE_OBJECT d, PIRP irp) {
        seen = IoGetCurrentIrpStackLocation(irp);
        locationSeen = irp->CurrentLocation;
        EXPECT_EQ(d, &lower.device);
        EXPECT_EQ(seen->DeviceObject, &lower.device);
        EXPECT_EQ(seen->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(seen->Parameters.DeviceIoControl.IoControlCode, 0x1234u);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return STATUS_UNSUCCESSFUL;  // whatever the routine answers reaches the caller
    };
    PIRP irp = IoAllocateIrp(2, FALSE);
    PIO_STACK_LOCATION prepared = IoGetNextIrpStackLocation(irp);
    prepared->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    prepared->Parameters.DeviceIoControl.IoControlCode = 0x1234;
    EXPECT_EQ(IofCallDriver(&lower.device, irp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(seen, prepared);
    EXPECT_EQ(locationSeen, 2);
    EXPECT_TRUE(Kernel().IrpInFlight(irp));

    CompletionProbe probe;
    // The lower driver completes later; the caller's routine runs from the location it set.
    prepared->CompletionRoutine = &CompletionProbe::Routine;
    prepared->Context = &probe;
    prepared->Control = SL_INVOKE_ON_SUCCESS;
    IofCompleteRequest(irp, 0);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_FALSE(Kernel().IrpInFlight(irp));
    IoFreeIrp(irp);
    ExpectClean();
}

TEST_F(KernelTest, CompletionRoutinesRunAsTheirInvokeFlagsAsk) {
    struct Case {
        const char* what;
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        bool invoked;
    };
    const Case cases[] = {
        {"success, asked on success", STATUS_SUCCESS, false, true, false, false, true},
        {"success, asked on error and cancel only", STATUS_SUCCESS, false, false, true, true, false},
        {"error, asked on error", STATUS_UNSUCCESSFUL, false, false, true, false, true},
        {"error, asked on success only", STATUS_UNSUCCESSFUL, false, true, false, false, false},
        {"cancel, asked on cancel only", STATUS_CANCELLED, true, false, false, true, true},
        {"cancel, asked on success only", STATUS_CANCELLED, true, true, false, false, false},
    };
    LowerDevice lower;
    PIRP held = nullptr;
    lower.onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CompletionProbe probe;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &probe, c.onSuccess, c.onError,
                               c.onCancel);
        ASSERT_EQ(IofCallDriver(&lower.device, irp), STATUS_PENDING);
        ASSERT_EQ(held, irp);
        held->IoStatus.Status = c.status;
        held->Cancel = c.cancel ? TRUE : FALSE;
        IofCompleteRequest(held, 0);
        EXPECT_EQ(probe.calls, c.invoked ? 1 : 0);
        if (c.invoked) {
            EXPECT_EQ(probe.status, c.status);
            EXPECT_TRUE(probe.pendingReturned);
            EXPECT_EQ(probe.device, nullptr) << "the originator's routine has no device above it";
            ASSERT_TRUE(Kernel().IrpLive(irp)) << "STATUS_MORE_PROCESSING_REQUIRED keeps the IRP";
            IoFreeIrp(irp);
        } else {
            EXPECT_FALSE(Kernel().IrpLive(irp)) << "an IRP nobody claims goes back at the top";
        }
    }
    EXPECT_EQ(Kernel().LiveResources(), 0u);
    ExpectClean();
}

TEST_F(KernelTest, BuiltRequestCompletesBottomUpSignalsItsEventAndIsFreed) {
    // Two layers: `upper` watches the request on its way back, `lower` completes it 500 us later
    // from a completion context.
    LowerDevice lower(1), upper(2);
    std::vector<std::string> order;
    CompletionProbe upperProbe, originatorProbe;
    upperProbe.order = originatorProbe.order = &order;
    upperProbe.name = "upper";
    originatorProbe.name = "originator";
    upperProbe.answer = originatorProbe.answer = STATUS_SUCCESS;

    PIO_STACK_LOCATION lowerSaw = nullptr;
    upper.onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = cur->MajorFunction;
        next->Parameters = cur->Parameters;
        IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &upperProbe, TRUE, TRUE, TRUE);
        return IofCallDriver(&lower.device, irp);
    };
    lower.onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        lowerSaw = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(lowerSaw->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(lowerSaw->Parameters.DeviceIoControl.IoControlCode, 0x00220003u);
        EXPECT_EQ(lowerSaw->Parameters.DeviceIoControl.InputBufferLength, 4u);
        EXPECT_EQ(lowerSaw->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        IoMarkIrpPending(irp);
        world_.Scheduler().After(500, [this, irp] {
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            irp->IoStatus.Information = 7;
            AtDispatch([irp] { IofCompleteRequest(irp, 0); });
        });
        return STATUS_PENDING;
    };

    uint8_t in[4] = {1, 2, 3, 4};
    uint8_t out[8] = {};
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x00220003, &upper.device, in, sizeof in, out,
                                             sizeof out, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, in);
    EXPECT_EQ(irp->UserBuffer, out);
    IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &originatorProbe, TRUE, TRUE, TRUE);

    ASSERT_EQ(IofCallDriver(&upper.device, irp), STATUS_PENDING);
    EXPECT_EQ(event.Header.SignalState, 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(world_.NowUs(), 500u);
    EXPECT_EQ(order, (std::vector<std::string>{"upper", "originator"}));
    EXPECT_EQ(upperProbe.device, &upper.device) << "each routine sees its own layer's device";
    EXPECT_EQ(originatorProbe.device, nullptr);
    EXPECT_TRUE(upperProbe.pendingReturned);
    EXPECT_EQ(upperProbe.irql, DISPATCH_LEVEL);
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_FALSE(Kernel().IrpLive(irp)) << "the I/O manager frees a built request at the top";
    EXPECT_EQ(Kernel().LiveResources(), 0u);
    ExpectClean();
}

TEST_F(KernelTest, CancelCallsTheCancelRoutineOnceWithTheOwningDevice) {
    LowerDevice lower;
    static PDEVICE_OBJECT cancelDevice;
    static int cancels;
    cancelDevice = nullptr;
    cancels = 0;
    lower.onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->CancelRoutine = [](PDEVICE_OBJECT d, PIRP i) NTAPI {
            cancelDevice = d;
            ++cancels;
            i->IoStatus.Status = STATUS_CANCELLED;
            IofCompleteRequest(i, 0);
        };
        return STATUS_PENDING;
    };
    CompletionProbe probe;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &probe, TRUE, TRUE, TRUE);
    ASSERT_EQ(IofCallDriver(&lower.device, irp), STATUS_PENDING);
    EXPECT_EQ(IoCancelIrp(irp), TRUE);
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(cancelDevice, &lower.device);
    EXPECT_EQ(probe.status, STATUS_CANCELLED);
    EXPECT_EQ(irp->Cancel, TRUE);
    // Completed: no cancel routine left to call.
    EXPECT_EQ(IoCancelIrp(irp), FALSE);
    EXPECT_EQ(cancels, 1);
    IoFreeIrp(irp);
    ExpectClean();
}

// ---- waits and virtual time ----

TEST_F(KernelTest, RelativeTimeoutEndsTheWaitAfterExactlyThatVirtualTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int late = 0;
    world_.Scheduler().After(3000, [&] { ++late; KeSetEvent(&event, 0, FALSE); });

    LARGE_INTEGER timeout;
    timeout.QuadPart = -25'000;  // 2.5 ms in 100 ns units
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(world_.NowUs(), 2500u);
    EXPECT_EQ(late, 0) << "nothing due after the time-out ran";

    // A fraction of a microsecond is never cut short.
    timeout.QuadPart = -15;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(world_.NowUs(), 2502u);

    // A zero time-out polls: no time passes.
    timeout.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(world_.NowUs(), 2502u);
    ExpectClean();
}

TEST_F(KernelTest, EventSetByAScheduledEventEndsTheWaitAtThatInstant) {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    world_.Scheduler().After(700, [&] {
        AtDispatch([&] {
            KeSetEvent(&notification, 0, FALSE);
            KeSetEvent(&synchronization, 0, FALSE);
        });
    });
    LARGE_INTEGER timeout;
    timeout.QuadPart = -100'000;  // 10 ms
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    EXPECT_EQ(world_.NowUs(), 700u);

    // A notification event stays signalled; a synchronization event is consumed by one wait.
    timeout.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(world_.NowUs(), 700u);
    ExpectClean();
}

TEST_F(KernelTest, SleepAdvancesTheClockAndRunsWhatFallsDueMeanwhile) {
    std::vector<uint64_t> seen;
    world_.Scheduler().After(400, [&] { seen.push_back(world_.NowUs()); });
    world_.Scheduler().After(1600, [&] { seen.push_back(world_.NowUs()); });
    AtPassive([] { NdisMSleep(1500); });
    EXPECT_EQ(world_.NowUs(), 1500u);
    EXPECT_EQ(seen, (std::vector<uint64_t>{400}));
    NdisMSleep(100);
    EXPECT_EQ(seen, (std::vector<uint64_t>{400, 1600}));
    ExpectClean();
}

// ---- lists, IRQL, pool ----

TEST_F(KernelTest, InterlockedListIsFirstInFirstOutAndLeavesNoLockOrRaisedIrql) {
    struct Item {
        LIST_ENTRY link;
        int value;
    };
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
    Item a{{}, 1}, b{{}, 2}, c{{}, 3};
    EXPECT_EQ(ExfInterlockedInsertTailList(&head, &a.link, &lock), nullptr) << "list was empty";
    EXPECT_EQ(ExfInterlockedInsertTailList(&head, &b.link, &lock), &a.link);
    EXPECT_EQ(ExfInterlockedInsertTailList(&head, &c.link, &lock), &b.link);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(Kernel().HoldsAnyLock());

    std::vector<int> out;
    AtDispatch([&] {
        for (PLIST_ENTRY e; (e = ExfInterlockedRemoveHeadList(&head, &lock)) != nullptr;)
            out.push_back(CONTAINING_RECORD(e, Item, link)->value);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    });
    EXPECT_EQ(out, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(ExfInterlockedRemoveHeadList(&head, &lock), nullptr);
    ExpectClean();
}

TEST_F(KernelTest, RaiseAndLowerMoveTheCurrentIrqlAndContextsKeepTheirOwn) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    AtPassive([] {
        EXPECT_EQ(KfRaiseIrql(APC_LEVEL), PASSIVE_LEVEL);
        // Another processor runs at its own level, and ours is back when it ends.
        host::world::CurrentKernel().RunInContext("other", DISPATCH_LEVEL, -1, [] {
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        });
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        KfLowerIrql(PASSIVE_LEVEL);
    });
    ExpectClean();
}

TEST_F(KernelTest, PoolBlocksAreTrackedWithTagAndAdapterAndComeUnzeroed) {
    PVOID p = nullptr;
    AtDispatch([&] { p = ExAllocatePoolWithTag(NonPagedPool, 24, MAKE_POOL_TAG('T', 'e', 's', 't')); },
               3);
    ASSERT_NE(p, nullptr);
    const auto* res = Kernel().Find(p);
    ASSERT_NE(res, nullptr);
    EXPECT_EQ(res->kind, host::kernel::ResourceKind::PoolBlock);
    EXPECT_EQ(res->size, 24u);
    EXPECT_EQ(res->tag, MAKE_POOL_TAG('T', 'e', 's', 't'));
    EXPECT_EQ(res->adapter, 3);
    EXPECT_EQ(Kernel().ResourcesOf(3).size(), 1u);
    // Fresh pool is not zeroed: a driver that relies on it reads the fill pattern.
    EXPECT_EQ(static_cast<uint8_t*>(p)[23], host::kernel::Kernel::kFreshFill);
    ExFreePool(p);
    EXPECT_EQ(Kernel().ResourcesOf(3).size(), 0u);
    ExpectClean();
}

}  // namespace
