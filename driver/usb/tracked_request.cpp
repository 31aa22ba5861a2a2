#include "driver/usb/tracked_request.h"

#include "driver/frame/atomic.h"
#include "driver/frame/timers.h"

namespace {

constexpr ULONG kTrackedCount = REGISTER_REQUEST_SLOTS + 2;

// Every tracked request of the adapter: the register slots, the filter write, the keep-alive.
TrackedRequest* TrackedAt(AdapterRecord* Adapter, ULONG index) {
    if (index < REGISTER_REQUEST_SLOTS) return &Adapter->RegisterRequests[index].Tracked;
    return index == REGISTER_REQUEST_SLOTS ? &Adapter->FilterRequest : &Adapter->KeepAliveRequest;
}

// RequestLock held.
BOOLEAN AnyRequestBelow(AdapterRecord* Adapter) {
    for (ULONG i = 0; i < kTrackedCount; ++i)
        if (TrackedAt(Adapter, i)->Irp != nullptr) return TRUE;
    return FALSE;
}

// Cancels `Request` if `Expected` (or, when null, whatever IRP) is still below it and nobody is
// cancelling it yet. The IRP cannot be freed while Cancelling names it: its completion leaves
// that to the canceller, which frees it here once IoCancelIrp has returned.
VOID CancelIfBelow(AdapterRecord* Adapter, TrackedRequest* Request, PIRP Expected) {
    KIRQL old;
    KeAcquireSpinLock(&Adapter->RequestLock, &old);
    PIRP irp = Request->Irp;
    if (irp == nullptr || Request->Cancelling != nullptr ||
        (Expected != nullptr && irp != Expected)) {
        KeReleaseSpinLock(&Adapter->RequestLock, old);
        return;
    }
    Request->Cancelling = irp;
    Request->CancelledCompleted = 0;
    // The canceller keeps the record alive as a completion would.
    InterlockedIncrement(&Adapter->RequestsOutstanding);
    KeReleaseSpinLock(&Adapter->RequestLock, old);

    IoCancelIrp(irp);

    KeAcquireSpinLock(&Adapter->RequestLock, &old);
    const BOOLEAN completed = Request->CancelledCompleted != 0;
    Request->Cancelling = nullptr;
    Request->CancelledCompleted = 0;
    KeReleaseSpinLock(&Adapter->RequestLock, old);
    if (completed) IoFreeIrp(irp);
    RequestCompleted(Adapter);
}

}  // namespace

VOID TrackRequest(AdapterRecord* Adapter, TrackedRequest* Request, PIRP Irp) {
    InterlockedIncrement(&Adapter->RequestsOutstanding);
    KIRQL old;
    KeAcquireSpinLock(&Adapter->RequestLock, &old);
    Request->Irp = Irp;
    Request->WatchdogTicks = 0;
    const BOOLEAN arm = Adapter->WatchdogArmed == 0;
    Adapter->WatchdogArmed = 1;
    KeReleaseSpinLock(&Adapter->RequestLock, old);
    if (arm) ArmTimer(Adapter, &Adapter->RequestWatchdogTimer, REQUEST_WATCHDOG_TICK_MS);
}

BOOLEAN UntrackRequest(AdapterRecord* Adapter, TrackedRequest* Request, PIRP Irp) {
    KIRQL old;
    KeAcquireSpinLock(&Adapter->RequestLock, &old);
    if (Request->Irp == Irp) Request->Irp = nullptr;
    BOOLEAN freeHere = TRUE;
    if (Request->Cancelling == Irp) {
        Request->CancelledCompleted = 1;
        freeHere = FALSE;
    }
    // The watchdog is left to run out by itself: its next tick finds nothing below and does not
    // come back. Cancelling it here, after the lock is dropped, could cancel the tick that a
    // request tracked meanwhile on another processor has just armed, and leave that request
    // unwatched for good.
    KeReleaseSpinLock(&Adapter->RequestLock, old);
    return freeHere;
}

BOOLEAN RequestBelow(AdapterRecord* Adapter, TrackedRequest* Request) {
    KIRQL old;
    KeAcquireSpinLock(&Adapter->RequestLock, &old);
    const BOOLEAN below = Request->Irp != nullptr;
    KeReleaseSpinLock(&Adapter->RequestLock, old);
    return below;
}

VOID RequestCompleted(AdapterRecord* Adapter) {
    InterlockedDecrement(&Adapter->RequestsOutstanding);
}

VOID CancelTrackedRequest(AdapterRecord* Adapter, TrackedRequest* Request) {
    CancelIfBelow(Adapter, Request, nullptr);
}

VOID CancelRegisterRequests(AdapterRecord* Adapter) {
    for (ULONG i = 0; i < REGISTER_REQUEST_SLOTS; ++i)
        CancelIfBelow(Adapter, &Adapter->RegisterRequests[i].Tracked, nullptr);
}

VOID CancelAllRequests(AdapterRecord* Adapter) {
    for (ULONG i = 0; i < kTrackedCount; ++i) CancelIfBelow(Adapter, TrackedAt(Adapter, i), nullptr);
}

ULONG WaitRegisterRequestsDone(AdapterRecord* Adapter, ULONG LimitMs) {
    for (ULONG waited = 0;; ++waited) {
        BOOLEAN below = FALSE;
        KIRQL old;
        KeAcquireSpinLock(&Adapter->RequestLock, &old);
        for (ULONG i = 0; i < REGISTER_REQUEST_SLOTS; ++i)
            below = below || Adapter->RegisterRequests[i].InUse != 0;
        KeReleaseSpinLock(&Adapter->RequestLock, old);
        if (!below) return RESULT_SUCCESS;
        if (waited == LimitMs) return RESULT_FAILURE;
        NdisMSleep(1000);
    }
}

ULONG WaitRequestsDone(AdapterRecord* Adapter, ULONG LimitMs) {
    for (ULONG waited = 0;; ++waited) {
        if (ReadShared(Adapter->RequestsOutstanding) == 0) return RESULT_SUCCESS;
        if (waited == LimitMs) return RESULT_FAILURE;
        NdisMSleep(1000);
    }
}

VOID NTAPI OnRequestWatchdog(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                             PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    auto* adapter = static_cast<AdapterRecord*>(FunctionContext);
    TimerRoutineScope running(adapter);
    TrackedRequest* overdue[kTrackedCount];
    PIRP overdueIrp[kTrackedCount];
    ULONG count = 0;
    KIRQL old;
    KeAcquireSpinLock(&adapter->RequestLock, &old);
    for (ULONG i = 0; i < kTrackedCount; ++i) {
        TrackedRequest* r = TrackedAt(adapter, i);
        if (r->Irp == nullptr || r->Cancelling != nullptr) continue;
        if (++r->WatchdogTicks >= REQUEST_WATCHDOG_TICKS) {
            overdue[count] = r;
            overdueIrp[count] = r->Irp;
            ++count;
        }
    }
    const BOOLEAN rearm = AnyRequestBelow(adapter);
    adapter->WatchdogArmed = rearm ? 1 : 0;
    KeReleaseSpinLock(&adapter->RequestLock, old);
    if (rearm) ArmTimer(adapter, &adapter->RequestWatchdogTimer, REQUEST_WATCHDOG_TICK_MS);
    // The device did not answer within the synchronous requests' limit: the request is taken
    // back, and its completion ends the sequence it belonged to.
    for (ULONG i = 0; i < count; ++i) CancelIfBelow(adapter, overdue[i], overdueIrp[i]);
}
