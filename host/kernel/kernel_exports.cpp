// The NT kernel routines of the platform layer, implemented on the current world's kernel.
#include "driver/platform/nt.h"
#include "host/kernel/kernel.h"
#include "host/kernel/race_sync.h"
#include "host/world/current.h"

using host::kernel::Kernel;
using host::kernel::LockKind;
using host::kernel::ResourceKind;
using host::world::CurrentKernel;

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    Kernel& k = CurrentKernel();
    // Every frame takes an IRP: without a fault planned at a call site, no site is built.
    if (!k.Faults().TrackingSites()) return k.AllocateIrp(StackSize, false, nullptr);
    const auto site = host::sim::SiteOfCaller(k.Faults(), host::sim::AllocKind::Irp);
    return k.AllocateIrp(StackSize, false, site ? &*site : nullptr);
}

VOID IoFreeIrp(PIRP Irp) { CurrentKernel().FreeIrp(Irp); }

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
    Kernel& k = CurrentKernel();
    const auto site = host::sim::SiteOfCaller(k.Faults(), host::sim::AllocKind::Irp);
    PIRP irp = k.AllocateIrp(DeviceObject->StackSize, true, site ? &*site : nullptr);
    if (irp == nullptr) return nullptr;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->UserBuffer = OutputBuffer;
    irp->AssociatedIrp.SystemBuffer = InputBuffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CurrentKernel().CallDriver(DeviceObject, Irp);
}

BOOLEAN IoCancelIrp(PIRP Irp) { return CurrentKernel().CancelIrp(Irp) ? TRUE : FALSE; }

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    CurrentKernel().CompleteRequest(Irp);
}

VOID KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PKEVENT Event, LONG Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    host::kernel::RaceRelease(Event);
    const LONG old = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    CurrentKernel().Point("KeSetEvent");
    return old;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    uint64_t us = UINT64_MAX;
    if (Timeout != nullptr) {
        // Relative times are negative counts of 100 ns; absolute times are not used here and
        // are taken as "now".
        const LONGLONG t = Timeout->QuadPart;
        us = t < 0 ? static_cast<uint64_t>((-t + 9) / 10) : 0;
    }
    return CurrentKernel().WaitForEvent(static_cast<PKEVENT>(Object), us);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, size_t NumberOfBytes, ULONG Tag) {
    (void)PoolType;
    Kernel& k = CurrentKernel();
    const auto site = host::sim::SiteOfCaller(k.Faults(), host::sim::AllocKind::RequestBlock);
    if (k.Faults().ShouldFail(host::sim::AllocKind::RequestBlock, k.CurrentAdapter(),
                              site ? &*site : nullptr))
        return nullptr;
    return k.Allocate(ResourceKind::PoolBlock, NumberOfBytes, Tag);
}

VOID ExFreePool(PVOID P) { CurrentKernel().Free(P, ResourceKind::PoolBlock, "ExFreePool"); }

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL KfRaiseIrql(KIRQL NewIrql) { return CurrentKernel().Raise(NewIrql); }

VOID KfLowerIrql(KIRQL NewIrql) { CurrentKernel().Lower(NewIrql); }

KIRQL KeGetCurrentIrql(void) { return CurrentKernel().CurrentIrql(); }

VOID KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    CurrentKernel().AcquireLock(SpinLock, LockKind::Kernel);
    *SpinLock = 1;
}

VOID KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
    CurrentKernel().ReleaseLock(SpinLock, LockKind::Kernel);
}

// An interlocked operation is a point where another processor may run first (unless the world
// sees calls only: an image does these inline), and orders what each side did before it with
// what the other does after (a fence on the addend).
LONG InterlockedIncrement(LONG volatile* Addend) {
    Kernel& k = CurrentKernel();
    if (!k.CallsOnly()) {
        k.CheckNotFreed(const_cast<LONG*>(Addend), "InterlockedIncrement");
        k.Point("InterlockedIncrement");
    }
    host::kernel::RaceAcquire(const_cast<LONG*>(Addend));
    const LONG value = __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
    host::kernel::RaceRelease(const_cast<LONG*>(Addend));
    return value;
}

LONG InterlockedDecrement(LONG volatile* Addend) {
    Kernel& k = CurrentKernel();
    if (!k.CallsOnly()) {
        k.CheckNotFreed(const_cast<LONG*>(Addend), "InterlockedDecrement");
        k.Point("InterlockedDecrement");
    }
    host::kernel::RaceAcquire(const_cast<LONG*>(Addend));
    const LONG value = __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
    host::kernel::RaceRelease(const_cast<LONG*>(Addend));
    return value;
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    Kernel& k = CurrentKernel();
    if (!k.CallsOnly()) {
        k.CheckNotFreed(const_cast<LONG*>(Destination), "InterlockedCompareExchange");
        k.Point("InterlockedCompareExchange");
    }
    host::kernel::RaceAcquire(const_cast<LONG*>(Destination));
    LONG expected = Comparand;
    __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    host::kernel::RaceRelease(const_cast<LONG*>(Destination));
    return expected;
}

void HostSharedAccessPoint(const void* Field) {
    Kernel& k = CurrentKernel();
    if (k.CallsOnly()) return;
    k.CheckNotFreed(Field, "shared field");
    k.Point("shared field");
}

PLIST_ENTRY ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                         PKSPIN_LOCK Lock) {
    Kernel& k = CurrentKernel();
    k.CheckNotFreed(ListHead, "ExInterlockedInsertTailList");
    const KIRQL old = k.Raise(k.CurrentIrql() > DISPATCH_LEVEL ? k.CurrentIrql() : DISPATCH_LEVEL);
    k.AcquireLock(Lock, LockKind::Interlocked);
    PLIST_ENTRY oldTail = ListHead->Blink;
    const bool wasEmpty = ListHead->Flink == ListHead;
    ListEntry->Flink = ListHead;
    ListEntry->Blink = oldTail;
    oldTail->Flink = ListEntry;
    ListHead->Blink = ListEntry;
    k.ReleaseLock(Lock, LockKind::Interlocked);
    k.Lower(old);
    return wasEmpty ? nullptr : oldTail;
}

PLIST_ENTRY ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    Kernel& k = CurrentKernel();
    k.CheckNotFreed(ListHead, "ExInterlockedRemoveHeadList");
    const KIRQL old = k.Raise(k.CurrentIrql() > DISPATCH_LEVEL ? k.CurrentIrql() : DISPATCH_LEVEL);
    k.AcquireLock(Lock, LockKind::Interlocked);
    PLIST_ENTRY first = nullptr;
    if (ListHead->Flink != ListHead) {
        first = ListHead->Flink;
        ListHead->Flink = first->Flink;
        first->Flink->Blink = ListHead;
    }
    k.ReleaseLock(Lock, LockKind::Interlocked);
    k.Lower(old);
    return first;
}

}  // extern "C"
