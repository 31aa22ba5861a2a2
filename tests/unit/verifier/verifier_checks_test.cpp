// Every verifier check, provoked on purpose through the routines a driver calls, and where it
// means something the sound form of the same act staying silent. Each test asserts the exact set
// of violations, so a check that fires too eagerly fails here as surely as one that never fires.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/verifier/verifier.h"
#include "tests/support/platform_fixture.h"

namespace {

namespace check = host::verifier::check;
using testing_support::AsyncUrb;
using testing_support::CompletionProbe;
using testing_support::LowerDevice;
using testing_support::StubMiniport;

class VerifierCheckTest : public testing_support::PlatformTest {
protected:
    StubMiniport stub_;
    host::device::ScriptedDevice* device_ = nullptr;
    host::ndis::Adapter& adapter_ = AddScripted("A", {}, &device_);

    host::ndis::Ndis& Ndis() { return world_.Ndis(); }
    PDEVICE_OBJECT Bus() { return adapter_.bus->DeviceObject(); }
    std::string LastDetail() { return world_.Verifier().Violations().back().detail; }
};

// ---- resources ----

TEST_F(VerifierCheckTest, LeakNamesTheTagOfMemoryLeftAfterHalt) {
    ASSERT_EQ(stub_.registered(), NDIS_STATUS_SUCCESS);
    ASSERT_EQ(Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    PVOID lost = nullptr;
    AtPassive([&] { NdisAllocateMemoryWithTag(&lost, 40, MAKE_POOL_TAG('L', 'o', 's', 't')); },
              adapter_.id);
    Ndis().Halt(adapter_);
    ExpectOnly(check::kLeak);
    const auto& v = Verifier().Violations().back();
    EXPECT_EQ(v.adapter, "A");
    EXPECT_NE(v.detail.find("'Lost'"), std::string::npos) << v.detail;
    EXPECT_NE(v.detail.find("40 bytes"), std::string::npos) << v.detail;
    const auto traced = recorder_.Of("violation");
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0]["check"], "leak");
    EXPECT_EQ(traced[0]["adapter"], "A");
}

TEST_F(VerifierCheckTest, HaltThatFreesEverythingIsClean) {
    ASSERT_EQ(Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    // Memory of no adapter, or of another one, is not this adapter's leak.
    PVOID unowned = nullptr;
    NdisAllocateMemoryWithTag(&unowned, 8, MAKE_POOL_TAG('H', 'o', 's', 't'));
    Ndis().Halt(adapter_);
    ExpectClean();
    NdisFreeMemory(unowned, 8, 0);
}

TEST_F(VerifierCheckTest, LeakAfterAFailedInitialise) {
    stub_.initialize = [](NDIS_HANDLE) {
        PVOID p = nullptr;
        NdisAllocateMemoryWithTag(&p, 16, MAKE_POOL_TAG('H', 'a', 'l', 'f'));
        return NDIS_STATUS_RESOURCES;
    };
    EXPECT_EQ(Ndis().Initialize(adapter_), NDIS_STATUS_RESOURCES);
    ExpectOnly(check::kLeak);
}

TEST_F(VerifierCheckTest, FreeUnknownForMemoryNeverAllocatedFreedTwiceOrByTheWrongRoutine) {
    uint8_t local[16];
    NdisFreeMemory(local, sizeof local, 0);
    ExpectOnly(check::kFreeUnknown, 1);

    PVOID p = nullptr;
    NdisAllocateMemoryWithTag(&p, 32, MAKE_POOL_TAG('M', 'e', 'm', ' '));
    ExFreePool(p);  // memory from the NDIS allocator goes back through NDIS
    ExpectOnly(check::kFreeUnknown, 2);
    EXPECT_NE(Kernel().Find(p), nullptr) << "the refused free leaves the block alive";

    NdisFreeMemory(p, 32, 0);
    ExpectOnly(check::kFreeUnknown, 2);
    NdisFreeMemory(p, 32, 0);
    ExpectOnly(check::kFreeUnknown, 3);
}

TEST_F(VerifierCheckTest, FreeLengthWhenTheLengthIsNotTheAllocations) {
    PVOID p = nullptr;
    NdisAllocateMemoryWithTag(&p, 32, MAKE_POOL_TAG('M', 'e', 'm', ' '));
    NdisFreeMemory(p, 16, 0);
    ExpectOnly(check::kFreeLength);
    EXPECT_NE(LastDetail().find("16 bytes; it has 32"), std::string::npos) << LastDetail();
    EXPECT_EQ(Kernel().Find(p), nullptr);
}

TEST_F(VerifierCheckTest, PoolBusyAtFreeForPacketAndBufferPoolsStillLending) {
    NDIS_STATUS s;
    NDIS_HANDLE packets = nullptr, buffers = nullptr;
    PNDIS_PACKET packet = nullptr;
    PNDIS_BUFFER buffer = nullptr;
    uint8_t data[64];
    NdisAllocatePacketPool(&s, &packets, 4, 16);
    NdisAllocateBufferPool(&s, &buffers, 4);
    NdisAllocatePacket(&s, &packet, packets);
    NdisAllocateBuffer(&s, &buffer, buffers, data, sizeof data);
    NdisFreePacketPool(packets);
    NdisFreeBufferPool(buffers);
    ExpectOnly(check::kPoolBusyAtFree, 2);
    // What the pools lent can still be given back.
    NdisFreePacket(packet);
    NdisFreeBuffer(buffer);
    ExpectOnly(check::kPoolBusyAtFree, 2);
    EXPECT_EQ(Kernel().LiveResources(), 0u);
}

// ---- blocking ----

TEST_F(VerifierCheckTest, WaitAtDispatchForTimedWaitsAndSleepsAndNoTimePasses) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    AtDispatch([&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10'000;
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                  STATUS_TIMEOUT);
        NdisMSleep(500);
    });
    ExpectOnly(check::kWaitAtDispatch, 2);
    EXPECT_EQ(world_.NowUs(), 0u);
}

TEST_F(VerifierCheckTest, ZeroTimeoutPollAtDispatchIsAllowed) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    AtDispatch([&] {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero),
                  STATUS_TIMEOUT);
        KeSetEvent(&event, 0, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero),
                  STATUS_SUCCESS);
    });
    ExpectClean();
}

TEST_F(VerifierCheckTest, DeadlockWhenAnInfiniteWaitOutlivesEverythingScheduled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    int unrelated = 0;
    world_.Scheduler().After(100, [&] { ++unrelated; });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
    EXPECT_EQ(unrelated, 1) << "the wait ran everything that could have signalled it";
    ExpectOnly(check::kDeadlock);
    EXPECT_EQ(Verifier().Violations().back().t_us, 100u);
}

// ---- spin locks ----

TEST_F(VerifierCheckTest, LockNotHeldOnReleaseOfALockNobodyTook) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    AtDispatch([&] { KefReleaseSpinLockFromDpcLevel(&lock); });
    ExpectOnly(check::kLockNotHeld);
}

TEST_F(VerifierCheckTest, LockIrqlForDpcLevelFormBelowDispatchAndNdisLockAboveIt) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    AtPassive([&] {
        KefAcquireSpinLockAtDpcLevel(&lock);
        KfRaiseIrql(DISPATCH_LEVEL);
        KefReleaseSpinLockFromDpcLevel(&lock);
        KfLowerIrql(PASSIVE_LEVEL);
    });
    ExpectOnly(check::kLockIrql, 1);

    NDIS_SPIN_LOCK ndisLock;
    NdisAllocateSpinLock(&ndisLock);
    AtDispatch([&] {
        const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL + 1);
        NdisAcquireSpinLock(&ndisLock);
        NdisReleaseSpinLock(&ndisLock);
        KfLowerIrql(old);
    });
    ExpectOnly(check::kLockIrql, 2);
}

TEST_F(VerifierCheckTest, NdisSpinLockTakenAtPassiveRaisesItselfAndRestores) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    AtPassive([&] {
        NdisAcquireSpinLock(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        NdisReleaseSpinLock(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
    NdisFreeSpinLock(&lock);
    ExpectClean();
}

TEST_F(VerifierCheckTest, LockRecursiveWhenALockIsTakenTwice) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    AtDispatch([&] {
        KefAcquireSpinLockAtDpcLevel(&lock);
        KefAcquireSpinLockAtDpcLevel(&lock);
        KefReleaseSpinLockFromDpcLevel(&lock);
    });
    ExpectOnly(check::kLockRecursive);
}

TEST_F(VerifierCheckTest, LockOrderForNestedNdisLocksAndForAnInterlockedOpInsideOne) {
    NDIS_SPIN_LOCK outer, inner;
    NdisAllocateSpinLock(&outer);
    NdisAllocateSpinLock(&inner);
    AtPassive([&] {
        NdisAcquireSpinLock(&outer);
        NdisAcquireSpinLock(&inner);
        NdisReleaseSpinLock(&inner);
        NdisReleaseSpinLock(&outer);
    });
    ExpectOnly(check::kLockOrder, 1);

    LIST_ENTRY head, entry;
    KSPIN_LOCK listLock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&listLock);
    AtPassive([&] {
        NdisAcquireSpinLock(&outer);
        ExfInterlockedInsertTailList(&head, &entry, &listLock);
        NdisReleaseSpinLock(&outer);
    });
    ExpectOnly(check::kLockOrder, 2);
}

TEST_F(VerifierCheckTest, InterlockedListOpInsideOneKernelLockIsAllowed) {
    KSPIN_LOCK outer, listLock;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&listLock);
    LIST_ENTRY head, entry;
    InitializeListHead(&head);
    AtDispatch([&] {
        KefAcquireSpinLockAtDpcLevel(&outer);
        ExfInterlockedInsertTailList(&head, &entry, &listLock);
        EXPECT_EQ(ExfInterlockedRemoveHeadList(&head, &listLock), &entry);
        KefReleaseSpinLockFromDpcLevel(&outer);
    });
    ExpectClean();
}

TEST_F(VerifierCheckTest, LockAcrossCallWhenIofCallDriverIsMadeHoldingALock) {
    LowerDevice lower;
    lower.onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, 0);
        return STATUS_SUCCESS;
    };
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (bool holding : {false, true}) {
        CompletionProbe probe;
        AtDispatch([&] {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &probe, TRUE, TRUE, TRUE);
            if (holding) KefAcquireSpinLockAtDpcLevel(&lock);
            IofCallDriver(&lower.device, irp);
            if (holding) KefReleaseSpinLockFromDpcLevel(&lock);
            IoFreeIrp(irp);
        });
        EXPECT_EQ(probe.calls, 1);
        ExpectOnly(check::kLockAcrossCall, holding ? 1 : 0);
    }
}

TEST_F(VerifierCheckTest, LockAcrossIndicationWhenAStatusIsIndicatedHoldingALock) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    AtDispatch([&] { NdisMIndicateStatus(adapter_.Handle(), NDIS_STATUS_MEDIA_CONNECT, nullptr, 0); });
    ExpectClean();
    AtDispatch([&] {
        NdisAcquireSpinLock(&lock);
        NdisMIndicateStatus(adapter_.Handle(), NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0);
        NdisReleaseSpinLock(&lock);
    });
    ExpectOnly(check::kLockAcrossIndication);
    ASSERT_EQ(adapter_.protocol.statuses.size(), 2u) << "the indication itself still arrives";
    EXPECT_EQ(adapter_.protocol.statuses[1].status, NDIS_STATUS_MEDIA_DISCONNECT);
}

TEST_F(VerifierCheckTest, LockAtExitWhenAContextEndsHoldingALockWhichIsThenDropped) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    AtDispatch([&] { KefAcquireSpinLockAtDpcLevel(&lock); });
    ExpectOnly(check::kLockAtExit);
    // The lock died with its context: the next one takes it afresh, not recursively.
    AtDispatch([&] {
        KefAcquireSpinLockAtDpcLevel(&lock);
        KefReleaseSpinLockFromDpcLevel(&lock);
    });
    ExpectOnly(check::kLockAtExit);
}

TEST_F(VerifierCheckTest, LockAtExitWhenAHeldNdisLockIsFreed) {
    NDIS_SPIN_LOCK lock;
    NdisAllocateSpinLock(&lock);
    AtPassive([&] {
        NdisAcquireSpinLock(&lock);
        NdisFreeSpinLock(&lock);
        NdisReleaseSpinLock(&lock);
    });
    ExpectOnly(check::kLockAtExit);
}

// ---- IRQL ----

TEST_F(VerifierCheckTest, IrqlAtExitWhenAContextEndsAtAnotherLevel) {
    AtPassive([] { KfRaiseIrql(DISPATCH_LEVEL); });
    ExpectOnly(check::kIrqlAtExit);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller's level is its own";
}

TEST_F(VerifierCheckTest, IrqlDirectionForARaiseDownwardsAndALowerUpwards) {
    AtDispatch([] {
        KfRaiseIrql(APC_LEVEL);
        KfRaiseIrql(DISPATCH_LEVEL);
    });
    ExpectOnly(check::kIrqlDirection, 1);
    AtPassive([] {
        KfLowerIrql(DISPATCH_LEVEL);
        KfLowerIrql(PASSIVE_LEVEL);
    });
    ExpectOnly(check::kIrqlDirection, 2);
}

// ---- IRPs ----

TEST_F(VerifierCheckTest, IrpDoubleFreeForASecondFreeAndForAnIrpTheLowerDriverOwns) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    ExpectOnly(check::kIrpDoubleFree, 1);

    LowerDevice lower;
    lower.onIrp = [](PDEVICE_OBJECT, PIRP i) {
        IoMarkIrpPending(i);
        return STATUS_PENDING;  // kept, never completed
    };
    PIRP owned = IoAllocateIrp(1, FALSE);
    IofCallDriver(&lower.device, owned);
    IoFreeIrp(owned);
    ExpectOnly(check::kIrpDoubleFree, 2);
}

TEST_F(VerifierCheckTest, IrpCompletionStatusWhenTheOwnersRoutineLetsItsIrpGo) {
    LowerDevice lower;
    lower.onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, 0);
        return STATUS_SUCCESS;
    };
    CompletionProbe keeps;  // answers STATUS_MORE_PROCESSING_REQUIRED
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &keeps, TRUE, TRUE, TRUE);
    IofCallDriver(&lower.device, irp);
    IoFreeIrp(irp);
    ExpectClean();

    CompletionProbe letsGo;
    letsGo.answer = STATUS_SUCCESS;
    irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &letsGo, TRUE, TRUE, TRUE);
    IofCallDriver(&lower.device, irp);
    ExpectOnly(check::kIrpCompletionStatus);
    EXPECT_FALSE(Kernel().IrpLive(irp));
}

TEST_F(VerifierCheckTest, IrpDoubleCompleteWhenALowerDriverCompletesARequestTwice) {
    LowerDevice lower;
    lower.onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, 0);
        IofCompleteRequest(irp, 0);  // its sender's routine already took it back
        return STATUS_SUCCESS;
    };
    CompletionProbe keeps;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &keeps, TRUE, TRUE, TRUE);
    IofCallDriver(&lower.device, irp);
    EXPECT_EQ(keeps.calls, 1);
    EXPECT_TRUE(Kernel().IrpLive(irp)) << "the second completion must not free the sender's IRP";
    IoFreeIrp(irp);
    ExpectOnly(check::kIrpDoubleComplete);
}

TEST_F(VerifierCheckTest, IrpStackWhenARequestIsPassedDownWithNoLocationLeft) {
    LowerDevice bottom(1), middle(2);
    bottom.onIrp = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, 0);
        return STATUS_SUCCESS;
    };
    middle.onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        if (irp->CurrentLocation > 1) {
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        }
        const NTSTATUS s = IofCallDriver(&bottom.device, irp);
        if (s == STATUS_INVALID_PARAMETER) {
            irp->IoStatus.Status = s;
            IofCompleteRequest(irp, 0);
        }
        return s;
    };
    for (CCHAR stack : {CCHAR{2}, CCHAR{1}}) {
        CompletionProbe probe;
        PIRP irp = IoAllocateIrp(stack, FALSE);
        IoSetCompletionRoutine(irp, &CompletionProbe::Routine, &probe, TRUE, TRUE, TRUE);
        const NTSTATUS s = IofCallDriver(&middle.device, irp);
        EXPECT_EQ(probe.calls, 1);
        IoFreeIrp(irp);
        if (stack == 2) {
            EXPECT_EQ(s, STATUS_SUCCESS);
            ExpectClean();
        } else {
            EXPECT_EQ(s, STATUS_INVALID_PARAMETER);
            ExpectOnly(check::kIrpStack);
        }
    }
}

// ---- timers and outstanding requests at free ----

TEST_F(VerifierCheckTest, TimerArmedAtFreeWhenItsMemoryGoesAndTheTimerNeverFires) {
    static int fired;
    fired = 0;
    auto handler = [](PVOID, PVOID, PVOID, PVOID) NTAPI { ++fired; };
    for (bool cancelFirst : {true, false}) {
        PVOID block = nullptr;
        NdisAllocateMemoryWithTag(&block, sizeof(NDIS_MINIPORT_TIMER) + 16,
                                  MAKE_POOL_TAG('T', 'm', 'r', 'B'));
        auto* timer = reinterpret_cast<PNDIS_MINIPORT_TIMER>(static_cast<uint8_t*>(block) + 8);
        NdisMInitializeTimer(timer, adapter_.Handle(), handler, nullptr);
        NdisMSetTimer(timer, 50);
        if (cancelFirst) {
            BOOLEAN cancelled = FALSE;
            NdisMCancelTimer(timer, &cancelled);
        }
        NdisFreeMemory(block, sizeof(NDIS_MINIPORT_TIMER) + 16, 0);
        ExpectOnly(check::kTimerArmedAtFree, cancelFirst ? 0 : 1);
    }
    world_.RunFor(200'000);
    EXPECT_EQ(fired, 0);
}

TEST_F(VerifierCheckTest, TimerArmedAtFreeWhenAnAdaptersTimerOutlivesItsHalt) {
    static NDIS_MINIPORT_TIMER timer;
    stub_.initialize = [init = stub_.initialize](NDIS_HANDLE handle) {
        NdisMInitializeTimer(&timer, handle, [](PVOID, PVOID, PVOID, PVOID) NTAPI {}, nullptr);
        NdisMSetTimer(&timer, 1000);
        return init(handle);
    };
    ASSERT_EQ(Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Ndis().Halt(adapter_);
    ExpectOnly(check::kTimerArmedAtFree);
    EXPECT_EQ(Verifier().Violations().back().adapter, "A");
    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_TRUE(cancelled);
}

TEST_F(VerifierCheckTest, RequestOutstandingAtFreeWhenTheContextGoesWithAnIrpAtTheBus) {
    PVOID context = nullptr;
    AsyncUrb read;
    uint8_t data[4];
    AtPassive([&] {
        NdisAllocateMemoryWithTag(&context, 64, MAKE_POOL_TAG('C', 't', 'x', ' '));
        NdisMSetAttributesEx(adapter_.Handle(), context, 0, 0, NdisInterfaceInternal);
        adapter_.bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 1);
        testing_support::BuildVendorRequest(read.urb, true, 0xF0, 0, data, sizeof data);
        read.Submit(Bus());
    }, adapter_.id);
    world_.RunFor(10'000);
    ASSERT_FALSE(read.Done());
    NdisFreeMemory(context, 64, 0);
    ExpectOnly(check::kRequestOutstandingAtFree);

    IoCancelIrp(read.irp);
    world_.RunFor(1000);
    EXPECT_TRUE(read.Done());
    ExpectOnly(check::kRequestOutstandingAtFree);
}

TEST_F(VerifierCheckTest, RequestOutstandingAtFreeWhenHaltLeavesARequestAtTheBus) {
    ASSERT_EQ(Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    AsyncUrb read;
    uint8_t data[4];
    adapter_.bus->Faults().ArmControl(host::usb::BusFaults::ControlFault::Silent, 1);
    AtPassive([&] {
        testing_support::BuildVendorRequest(read.urb, true, 0xF0, 0, data, sizeof data);
        read.Submit(Bus());
    }, adapter_.id);
    Ndis().Halt(adapter_);
    // Freeing the context and ending the halt both find it; the IRP itself is also still the
    // adapter's.
    EXPECT_EQ(Verifier().Count(check::kRequestOutstandingAtFree), 2u) << Verifier().Describe();
    EXPECT_EQ(Verifier().Count(check::kLeak), 1u) << Verifier().Describe();
    EXPECT_EQ(Verifier().Count(), 3u) << Verifier().Describe();
    IoCancelIrp(read.irp);
}

TEST_F(VerifierCheckTest, TimerUninitializedForSetAndCancel) {
    NDIS_MINIPORT_TIMER timer;
    std::memset(&timer, 0, sizeof timer);
    NdisMSetTimer(&timer, 10);
    BOOLEAN cancelled = TRUE;
    NdisMCancelTimer(&timer, &cancelled);
    EXPECT_FALSE(cancelled);
    ExpectOnly(check::kTimerUninitialized, 2);
}

// ---- send completion ----

TEST_F(VerifierCheckTest, SendCompleteForeignForAPacketNeverGiven) {
    NDIS_STATUS s;
    NDIS_HANDLE pool = nullptr;
    PNDIS_PACKET own = nullptr;
    NdisAllocatePacketPool(&s, &pool, 1, 0);
    NdisAllocatePacket(&s, &own, pool);
    AtDispatch([&] { NdisMSendComplete(adapter_.Handle(), own, NDIS_STATUS_SUCCESS); });
    ExpectOnly(check::kSendCompleteForeign);
    NdisFreePacket(own);
    NdisFreePacketPool(pool);
}

TEST_F(VerifierCheckTest, SendCompleteForeignForASecondCompletion) {
    PNDIS_PACKET held = nullptr;
    stub_.send = [&](NDIS_HANDLE, PNDIS_PACKET p) {
        held = p;
        return NDIS_STATUS_PENDING;
    };
    ASSERT_EQ(Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    std::vector<NDIS_STATUS> done;
    adapter_.protocol.onSendDone = [&](uint64_t, NDIS_STATUS st) { done.push_back(st); };
    Ndis().Send(adapter_, std::vector<uint8_t>(60, 0xAB));
    ASSERT_NE(held, nullptr);
    AtDispatch([&] { NdisMSendComplete(adapter_.Handle(), held, NDIS_STATUS_SUCCESS); }, adapter_.id);
    ExpectClean();
    EXPECT_EQ(done, (std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS}));
    AtDispatch([&] { NdisMSendComplete(adapter_.Handle(), held, NDIS_STATUS_SUCCESS); }, adapter_.id);
    ExpectOnly(check::kSendCompleteForeign);
    EXPECT_EQ(done.size(), 1u);
    EXPECT_EQ(adapter_.protocol.sends.completed, 1u);
}

TEST_F(VerifierCheckTest, SendCompleteForeignForAPacketCompletedAndAlsoRefused) {
    stub_.send = [this](NDIS_HANDLE, PNDIS_PACKET p) {
        NdisMSendComplete(adapter_.Handle(), p, NDIS_STATUS_FAILURE);
        return NDIS_STATUS_FAILURE;
    };
    ASSERT_EQ(Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    Ndis().Send(adapter_, std::vector<uint8_t>(60, 0xAB));
    ExpectOnly(check::kSendCompleteForeign);
}

// ---- overruns and handles ----

TEST_F(VerifierCheckTest, OverrunWhenAQueryWritesPastItsBuffer) {
    ULONG extra = 0;
    stub_.query = [&](NDIS_OID, PVOID buffer, ULONG length, PULONG written, PULONG) {
        std::memset(buffer, 0x11, length + extra);
        *written = length;
        return NDIS_STATUS_SUCCESS;
    };
    ASSERT_EQ(Ndis().Initialize(adapter_), NDIS_STATUS_SUCCESS);
    auto r = Ndis().Query(adapter_, OID_GEN_LINK_SPEED, 4);
    EXPECT_EQ(r.buffer, std::vector<uint8_t>(4, 0x11));
    ExpectClean();
    extra = 1;
    Ndis().Query(adapter_, OID_GEN_LINK_SPEED, 4);
    ExpectOnly(check::kOverrun);
}

TEST_F(VerifierCheckTest, OverrunWhenADescriptorSetClaimsMoreThanItsBufferHolds) {
    const std::vector<uint8_t> set = device_->configuration;
    auto* buffer = static_cast<uint8_t*>(
        ExAllocatePoolWithTag(NonPagedPool, set.size(), MAKE_POOL_TAG('D', 'e', 's', 'c')));
    std::memcpy(buffer, set.data(), set.size());
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr);
    ExpectClean();

    config->wTotalLength = static_cast<USHORT>(set.size() + 64);
    // The walk stops at the end of the buffer and still finds what lies inside it.
    EXPECT_NE(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr);
    ExpectOnly(check::kOverrun);
    ExFreePool(buffer);
}

TEST_F(VerifierCheckTest, BadHandleForUnknownAdapterIrpPoolConfigurationAndPipe) {
    int notAnAdapter = 0;
    NdisMIndicateStatus(&notAnAdapter, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
    ExpectOnly(check::kBadHandle, 1);

    IRP notAllocated{};
    LowerDevice lower;
    lower.onIrp = [](PDEVICE_OBJECT, PIRP) -> NTSTATUS {
        ADD_FAILURE() << "an IRP that is not live must not reach a driver";
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(IofCallDriver(&lower.device, &notAllocated), STATUS_INVALID_PARAMETER);
    ExpectOnly(check::kBadHandle, 2);

    NDIS_STATUS s = NDIS_STATUS_SUCCESS;
    PNDIS_PACKET packet = nullptr;
    int notAPool = 0;
    NdisAllocatePacket(&s, &packet, &notAPool);
    EXPECT_EQ(s, NDIS_STATUS_FAILURE);
    EXPECT_EQ(packet, nullptr);
    ExpectOnly(check::kBadHandle, 3);

    PNDIS_CONFIGURATION_PARAMETER value = nullptr;
    char16_t keyword[] = u"Speed";
    NDIS_STRING name{10, 12, keyword};
    NdisReadConfiguration(&s, &value, &notAPool, &name, NdisParameterInteger);
    EXPECT_EQ(s, NDIS_STATUS_FAILURE);
    ExpectOnly(check::kBadHandle, 4);

    AsyncUrb bulk;
    uint8_t data[8];
    int notAPipe = 0;
    testing_support::BuildBulkTransfer(bulk.urb, &notAPipe, true, data, sizeof data);
    EXPECT_EQ(bulk.Submit(Bus()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(bulk.Done());
    EXPECT_EQ(bulk.probe.status, STATUS_UNSUCCESSFUL);
    ExpectOnly(check::kBadHandle, 5);
}

TEST_F(VerifierCheckTest, MoveOverlapWhenNdisMoveMemoryIsGivenRangesThatShareBytes) {
    uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(i);
    AtDispatch([&] {
        NdisMoveMemory(bytes + 8, bytes, 8);  // adjacent, not overlapping: a plain copy
        NdisZeroMemory(bytes, 2);
    });
    ExpectOnly(check::kMoveOverlap, 0);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[2], 2);
    EXPECT_EQ(bytes[8], 0);
    EXPECT_EQ(bytes[15], 7);

    AtDispatch([&] { NdisMoveMemory(bytes + 1, bytes, 4); });
    ExpectOnly(check::kMoveOverlap, 1);
    EXPECT_NE(LastDetail().find("4 bytes"), std::string::npos) << LastDetail();
    // Reported, and still moved as memmove would.
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes[4], 3);
}

// ---- the count of checks made ----

// A check counts when its rule is evaluated, caught or not: the same calls count the same whether
// they break a rule or keep it, and a call made n times counts n times as much as once.
TEST_F(VerifierCheckTest, ChecksCountEveryEvaluationPassedOrCaught) {
    const auto checksOf = [&](const std::function<void()>& fn) {
        const uint64_t before = Verifier().Checks();
        fn();
        return Verifier().Checks() - before;
    };
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const auto pairs = [&](int n) {
        for (int i = 0; i < n; ++i) {
            KefAcquireSpinLockAtDpcLevel(&lock);
            KefReleaseSpinLockFromDpcLevel(&lock);
        }
    };
    const uint64_t frame = checksOf([&] { AtDispatch([] {}); });
    const uint64_t one = checksOf([&] { AtDispatch([&] { pairs(1); }); });
    const uint64_t eleven = checksOf([&] { AtDispatch([&] { pairs(11); }); });
    ExpectClean();
    // As verifier.h counts them: the end of a context checks its locks and its IRQL; an acquire
    // its IRQL, recursion and nesting order; a release that the lock is held, and its IRQL.
    EXPECT_EQ(frame, 2u);
    EXPECT_EQ(one - frame, 3u + 2u);
    EXPECT_EQ(eleven - frame, 11 * (one - frame));
    // At PASSIVE_LEVEL both halves of the pair break the IRQL rule; they are checked no more often.
    EXPECT_EQ(checksOf([&] { AtPassive([&] { pairs(1); }); }), one);
    ExpectOnly(check::kLockIrql, 2);

    PVOID p = nullptr;
    NdisAllocateMemoryWithTag(&p, 32, MAKE_POOL_TAG('M', 'e', 'm', ' '));
    uint8_t local[32];
    // A free with a length: the length, and that the block is a live one of its kind.
    const uint64_t sound = checksOf([&] { NdisFreeMemory(p, 32, 0); });
    EXPECT_EQ(sound, 2u);
    EXPECT_EQ(checksOf([&] { NdisFreeMemory(local, sizeof local, 0); }), sound);
    EXPECT_EQ(Verifier().Count(check::kFreeUnknown), 1u) << Verifier().Describe();
    EXPECT_EQ(Verifier().Count(), 3u) << Verifier().Describe();
}

}  // namespace
