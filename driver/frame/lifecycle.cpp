#include "driver/frame/lifecycle.h"

#include "driver/datapath/keepalive.h"
#include "driver/datapath/receive.h"
#include "driver/datapath/transmit.h"
#include "driver/frame/atomic.h"
#include "driver/frame/ledger.h"
#include "driver/frame/pool_tags.h"
#include "driver/frame/startup.h"
#include "driver/frame/timers.h"
#include "driver/media/link_poll.h"
#include "driver/media/mac_mode.h"
#include "driver/media/media_programming.h"
#include "driver/media/power_down.h"
#include "driver/requests/query.h"
#include "driver/requests/set.h"
#include "driver/usb/configuration.h"
#include "driver/usb/registers.h"
#include "driver/usb/tracked_request.h"

namespace {

// How long halt waits for a media chain still in flight before it frees the record.
constexpr ULONG kHaltChainWaitMs = 5000;
// How long shutdown and halt wait for the completions of the requests they cancelled: the bus
// completes a cancelled request at once or within its next frame.
constexpr ULONG kCancelWaitMs = 1000;
// How long halt lets requests still below end on their own before it takes them back.
constexpr ULONG kHaltGraceMs = 1000;
// How long halt's last wait lasts at most, and how often it aborts the bulk pipes and cancels
// the tracked requests again meanwhile (an abort that could not be sent, a lower driver slow to
// end what it was told to).
constexpr ULONG kHaltDrainMs = 10000;
constexpr ULONG kHaltRetakeEveryMs = 1000;
// How long a reset waits for a poll cycle in flight before it programs the media regardless:
// longer than the longest cycle (about 12 s of waits plus its requests).
constexpr ULONG kResetChainWaitMs = 15000;

VOID ClearStatistics(AdapterRecord* Adapter) {
    WriteShared(Adapter->RcvOk, 0);
    WriteShared(Adapter->RcvFlag10Count, 0);
    WriteShared(Adapter->RcvError, 0);
    WriteShared(Adapter->RcvAlignError, 0);
    WriteShared(Adapter->RcvFlag06Count, 0);
    WriteShared(Adapter->XmitOk, 0);
    WriteShared(Adapter->XmitError, 0);
    WriteShared(Adapter->XmitUnderrun, 0);
    WriteShared(Adapter->XmitOneCollision, 0);
    WriteShared(Adapter->XmitDeferred, 0);
    WriteShared(Adapter->RcvRunt, 0);
}

VOID CancelTimers(AdapterRecord* Adapter) {
    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&Adapter->ReceiveTimer, &cancelled);
    NdisMCancelTimer(&Adapter->MediaDelayTimer, &cancelled);
    NdisMCancelTimer(&Adapter->LinkPollTimer, &cancelled);
    // Set up at every initialise, so it is always safe to cancel.
    NdisMCancelTimer(&Adapter->KeepAliveTimer, &cancelled);
}

VOID CancelAllTimers(AdapterRecord* Adapter) {
    CancelTimers(Adapter);
    BOOLEAN cancelled = FALSE;
    NdisMCancelTimer(&Adapter->RequestWatchdogTimer, &cancelled);
}

// Nothing the adapter started can touch the record any more: no transfer below or queued, no
// tracked request or its canceller, no timer routine running.
BOOLEAN Quiet(AdapterRecord* Adapter) {
    return ReadShared(Adapter->TransfersInFlight) == 0 &&
           ReadShared(Adapter->RequestsOutstanding) == 0 &&
           ReadShared(Adapter->RoutinesRunning) == 0;
}

// Halt's last wait before the record goes. No timer is armed from here on; the timers are
// cancelled, and whatever is still below is taken back (pipe aborts, cancels) every
// kHaltRetakeEveryMs until all is quiet. A routine that looked at TimersClosed just before it
// was set may still have armed its timer: the timers are cancelled once more when all is quiet,
// and a routine that such a timer started just before is let run out. 1 when all is quiet, 2
// when kHaltDrainMs ran out first.
ULONG QuiesceAdapter(AdapterRecord* Adapter) {
    WriteShared(Adapter->TimersClosed, 1);
    CancelAllTimers(Adapter);
    ULONG waited = 0;
    for (; waited < kHaltDrainMs && !Quiet(Adapter); ++waited) {
        if (waited % kHaltRetakeEveryMs == 0) {
            AbortBulkPipes(Adapter);
            CancelAllRequests(Adapter);
        }
        NdisMSleep(1000);
    }
    CancelAllTimers(Adapter);
    // A timer that fired before that cancel has its routine started by now.
    NdisMSleep(1000);
    for (; waited < kHaltDrainMs && ReadShared(Adapter->RoutinesRunning) != 0; ++waited)
        NdisMSleep(1000);
    return Quiet(Adapter) ? RESULT_SUCCESS : RESULT_FAILURE;
}

}  // namespace

// Runs once, when the image is loaded: its code is discarded afterwards.
extern "C" CODE_SEGMENT("INIT") NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                           PUNICODE_STRING RegistryPath) {
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, DriverObject, RegistryPath, nullptr);
    InitializeTagCounters();

    NDIS_MINIPORT_CHARACTERISTICS characteristics;
    NdisZeroMemory(&characteristics, sizeof characteristics);
    NDIS30_MINIPORT_CHARACTERISTICS& ndis30 = characteristics.Ndis40Chars.Ndis30Chars;
    ndis30.MajorNdisVersion = 5;
    ndis30.MinorNdisVersion = 0;
    ndis30.HaltHandler = MiniportHalt;
    ndis30.InitializeHandler = MiniportInitialize;
    ndis30.QueryInformationHandler = MiniportQueryInformation;
    ndis30.ResetHandler = MiniportReset;
    ndis30.SendHandler = MiniportSend;
    ndis30.SetInformationHandler = MiniportSetInformation;
    characteristics.Ndis40Chars.ReturnPacketHandler = MiniportReturnPacket;
    const NDIS_STATUS status =
        NdisMRegisterMiniport(wrapper, &characteristics, sizeof characteristics);
    return status == NDIS_STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// Initialise and halt run only at passive level: pageable code.
CODE_SEGMENT("PAGE")
NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                     PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle,
                                     NDIS_HANDLE WrapperConfigurationContext) {
    (void)OpenErrorStatus;
    if (MediumArraySize == 0) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    UINT index = 0;
    while (index < MediumArraySize && MediumArray[index] != NdisMedium802_3) ++index;
    if (index == MediumArraySize) return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *SelectedMediumIndex = index;

    PVOID memory = nullptr;
    const NDIS_STATUS allocated = NdisAllocateMemoryWithTag(&memory, sizeof(AdapterRecord), kRecordTag);
    if (allocated != NDIS_STATUS_SUCCESS) return allocated;
    auto* adapter = static_cast<AdapterRecord*>(memory);
    NdisZeroMemory(adapter, sizeof *adapter);
    adapter->AdapterState = ADAPTER_STARTING;

    LedgerEntry* entry = ObtainLedgerEntry(adapter);
    if (entry == nullptr) {
        // No ledger yet to release through: the record goes back by hand.
        NdisFreeMemory(adapter, sizeof *adapter, 0);
        return NDIS_STATUS_RESOURCES;
    }
    entry->Kind = LEDGER_MEMORY_BLOCK;
    entry->Payload.Memory.Length = sizeof *adapter;
    entry->Payload.Memory.Address = adapter;

    adapter->MiniportAdapterHandle = MiniportAdapterHandle;
    adapter->WrapperConfigurationContext = WrapperConfigurationContext;
    NdisMSetAttributesEx(MiniportAdapterHandle, adapter, CHECK_FOR_HANG_SECONDS,
                         ADAPTER_ATTRIBUTES, NdisInterfaceInternal);
    NdisAllocateSpinLock(&adapter->TxLock);
    NdisAllocateSpinLock(&adapter->RxLock);
    NdisAllocateSpinLock(&adapter->MediaLock);
    // Every timer exists before the first request that can arm one: the first read of start-up
    // may come back with a frame before MiniportInitialize returns. The keep-alive timer is set
    // up in every case so that shutdown can always cancel it; it is armed only when the
    // keep-alive PHY was active at this initialise.
    NdisMInitializeTimer(&adapter->ReceiveTimer, MiniportAdapterHandle, IndicateReceivedFrames,
                         adapter);
    NdisMInitializeTimer(&adapter->MediaDelayTimer, MiniportAdapterHandle, OnMediaDelayTimer,
                         adapter);
    NdisMInitializeTimer(&adapter->LinkPollTimer, MiniportAdapterHandle, OnLinkPollTimer, adapter);
    NdisMInitializeTimer(&adapter->KeepAliveTimer, MiniportAdapterHandle, KeepAliveTick, adapter);
    NdisMInitializeTimer(&adapter->RequestWatchdogTimer, MiniportAdapterHandle, OnRequestWatchdog,
                         adapter);

    if (StartAdapter(adapter) != RESULT_SUCCESS) {
        ReleaseLedger(adapter);
        return NDIS_STATUS_RESOURCES;
    }

    NdisMRegisterAdapterShutdownHandler(MiniportAdapterHandle, adapter, ShutdownAdapter);
    ArmTimer(adapter, &adapter->LinkPollTimer, LINK_POLL_MS);
    if (adapter->KeepAliveEnabled) {
        ArmTimer(adapter, &adapter->KeepAliveTimer, KEEP_ALIVE_MS);
        adapter->KeepAliveStarted = 1;
    }

    WriteShared(adapter->AdapterState, ADAPTER_RUNNING);
    adapter->IndicatedLinkState = LINK_CONNECTED;
    adapter->LinkState = LINK_DISCONNECTED;
    adapter->LinkChangePending = 1;
    // NDIS takes indications once this returns. Frames that came in meanwhile wait on
    // RxReadyList; a first read that could not get its IRP, or that failed while start-up went
    // on, left every receive descriptor idle and nothing reading. The receive handler sees to
    // both.
    WriteShared(adapter->InitializeDone, 1);
    NdisAcquireSpinLock(&adapter->RxLock);
    const BOOLEAN receiveWork = adapter->RxReadyList.Count != 0 ||
                                adapter->RxFreeList.Count >= adapter->RxDescriptorCount;
    NdisReleaseSpinLock(&adapter->RxLock);
    if (receiveWork) ArmTimer(adapter, &adapter->ReceiveTimer, 0);
    return NDIS_STATUS_SUCCESS;
}

CODE_SEGMENT("PAGE") VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
    auto* adapter = static_cast<AdapterRecord*>(MiniportAdapterContext);
    if (ReadShared(adapter->AdapterState) != ADAPTER_POWERED_DOWN) ShutdownAdapter(adapter);

    // Nothing the adapter started may outlive the record. A media chain that was in flight when
    // shutdown began, a packet-filter write or a keep-alive transfer ends on its own within a
    // bus frame or two; what the device has not answered after a moment is taken back.
    for (ULONG waited = 0; (AcquireShared(adapter->MediaBusy) != 0 ||
                            PacketFilterWritePending(adapter) ||
                            ReadShared(adapter->RequestsOutstanding) != 0) &&
                           waited < kHaltChainWaitMs;
         ++waited) {
        if (waited == kHaltGraceMs) CancelAllRequests(adapter);
        NdisMSleep(1000);
    }
    if (QuiesceAdapter(adapter) != RESULT_SUCCESS) {
        // Something below never came back, and its completion would run on freed memory: the
        // record and everything tracked with it stay allocated. A leak is the lesser harm.
        NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
        return;
    }

    NdisMDeregisterAdapterShutdownHandler(adapter->MiniportAdapterHandle);
    NdisFreeSpinLock(&adapter->TxLock);
    NdisFreeSpinLock(&adapter->RxLock);
    NdisFreeSpinLock(&adapter->MediaLock);
    ReleaseLedger(adapter);
}

VOID NTAPI ShutdownAdapter(PVOID ShutdownContext) {
    auto* adapter = static_cast<AdapterRecord*>(ShutdownContext);
    // From here on no link-poll cycle may start or re-arm its timer. Under the media lock: a
    // poll tick either claimed the media side before this (power-down waits for its cycle) or
    // sees this and starts none.
    NdisAcquireSpinLock(&adapter->MediaLock);
    WriteShared(adapter->ShutdownBegun, 1);
    NdisReleaseSpinLock(&adapter->MediaLock);
    // A poll cycle parked on the media delay would never run on once that timer is cancelled,
    // and power-down would wait for it in vain: it ends here instead.
    BOOLEAN delayPending = FALSE;
    NdisMCancelTimer(&adapter->MediaDelayTimer, &delayPending);
    if (delayPending) RearmLinkPoll(adapter);
    CancelTimers(adapter);
    PowerDownDevice(adapter);
    // Whatever is still below (a packet-filter write, a keep-alive the pipe aborts did not
    // reach) is taken back: the system may go down without a halt.
    CancelAllRequests(adapter);
    WaitRequestsDone(adapter, kCancelWaitMs);
}

ULONG PowerDownDevice(AdapterRecord* Adapter) {
    PowerDownPhysAtShutdown(Adapter);
    WriteShared(Adapter->AdapterState, ADAPTER_POWERED_DOWN);
    // Frames still queued for the bulk-out pipe are ended here; the pipe abort below ends the
    // one at the bus.
    StopBulkOut(Adapter);
    SendSetFeature(Adapter, USB_FEATURE_REMOTE_WAKEUP);
    ResetBulkPipes(Adapter);
    for (ULONG i = 0; i < 100; ++i) NdisMSleep(10000);
    return RESULT_SUCCESS;
}

NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
    auto* adapter = static_cast<AdapterRecord*>(MiniportAdapterContext);
    *AddressingReset = FALSE;
    // A reset after shutdown brings the whole adapter back, its link poll and keep-alive ticks
    // included, rather than traffic without anyone watching the link.
    const BOOLEAN afterShutdown = ReadShared(adapter->ShutdownBegun) != 0;
    NdisAcquireSpinLock(&adapter->MediaLock);
    WriteShared(adapter->AdapterState, ADAPTER_STARTING);
    NdisReleaseSpinLock(&adapter->MediaLock);
    // The restart programming shares the PHY port and the staging buffers with a poll cycle:
    // a cycle in flight ends first. None starts while the restart runs: a tick finds the
    // adapter resetting (state 0) and only re-arms the poll timer. A cycle that never ends is
    // waited for only so long, and the restart goes ahead regardless.
    for (ULONG waited = 0; AcquireShared(adapter->MediaBusy) != 0 && waited < kResetChainWaitMs;
         ++waited)
        NdisMSleep(1000);
    RestartMedia(adapter);
    ClearStatistics(adapter);
    if (afterShutdown) ResumeBulkOut(adapter);
    // NDIS is told addressing need not be restored, so the reset restores what the MAC restart
    // cleared: the receive mode of the last packet filter. The multicast hash keeps every bucket
    // open as start-up left it: neither the reset pulse nor the device clears those registers.
    if (afterShutdown) WriteShared(adapter->ShutdownBegun, 0);
    if (ReadShared(adapter->ReceiveModeApplied) != 0)
        ApplyPacketFilter(adapter, ReadShared(adapter->ReceiveModeMask));
    WriteShared(adapter->AdapterState, ADAPTER_RUNNING);
    // A read that failed (state 18) or completed while the adapter was resetting left its
    // descriptor idle and nothing reading; the receive timer restarts reading once every
    // descriptor is idle, and does nothing while a read is still outstanding.
    ArmTimer(adapter, &adapter->ReceiveTimer, 0);
    if (afterShutdown) {
        ArmTimer(adapter, &adapter->LinkPollTimer, LINK_POLL_MS);
        if (adapter->KeepAliveStarted != 0)
            ArmTimer(adapter, &adapter->KeepAliveTimer, KEEP_ALIVE_MS);
    }
    return NDIS_STATUS_SUCCESS;
}

ULONG RestartMedia(AdapterRecord* Adapter) {
    PulseMacReset(Adapter);
    ProgramMediaAtReset(Adapter);
    if (Adapter->ReceiveStarted == 0) {
        NdisAcquireSpinLock(&Adapter->RxLock);
        PacketDescriptor* first = ListRemoveHead(&Adapter->RxFreeList);
        NdisReleaseSpinLock(&Adapter->RxLock);
        WriteShared(Adapter->AdapterState, ADAPTER_RUNNING);
        if (first == nullptr) return RESULT_FAILURE;
        SubmitBulkIn(Adapter, first);
    }
    ComputeMacControl1(Adapter);
    WriteInitialMacMode(Adapter);
    WriteShared(Adapter->LinkChangePending, 1);
    IndicateLinkState(Adapter);
    return RESULT_SUCCESS;
}

VOID NTAPI OnMediaDelayTimer(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                             PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    auto* adapter = static_cast<AdapterRecord*>(FunctionContext);
    TimerRoutineScope running(adapter);
    adapter->NextStep(adapter);
}

VOID NTAPI OnLinkPollTimer(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                           PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    auto* adapter = static_cast<AdapterRecord*>(FunctionContext);
    TimerRoutineScope running(adapter);
    // Looking at shutdown and the state and claiming the media side are one step: a reset that
    // marks the adapter as starting in between would otherwise find the media idle and restart
    // it beside the cycle, and a shutdown that began in between (its cancel does not wait for a
    // routine already running) would find the media idle and start powering the PHYs down beside
    // a new cycle. Shutdown marks itself under the same lock.
    NdisAcquireSpinLock(&adapter->MediaLock);
    const BOOLEAN stopping = ReadShared(adapter->ShutdownBegun) != 0;
    const ULONG state = ReadShared(adapter->AdapterState);
    const BOOLEAN claimed =
        !stopping && state == ADAPTER_RUNNING && AcquireShared(adapter->MediaBusy) == 0;
    if (claimed) WriteShared(adapter->MediaBusy, 1);
    NdisReleaseSpinLock(&adapter->MediaLock);
    if (stopping) return;
    if (claimed) {
        StartLinkPoll(adapter);
        return;
    }
    // Resetting, or a receive failed and a reset is to come: polling must outlive both, so the
    // tick only comes back later. Powered down (14) stays final.
    if (state == ADAPTER_STARTING || state == ADAPTER_RECEIVE_FAILED)
        ArmTimer(adapter, &adapter->LinkPollTimer, LINK_POLL_MS);
}

ULONG StepNone(AdapterRecord* Adapter) {
    (void)Adapter;
    return RESULT_SUCCESS;
}

ULONG ClearMediaBusy(AdapterRecord* Adapter) {
    ReleaseShared(Adapter->MediaBusy, 0);
    return RESULT_SUCCESS;
}

VOID NTAPI MiniportReturnPacket(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet) {
    // Every receive packet is indicated with NDIS_STATUS_RESOURCES, so none is ever returned.
    (void)MiniportAdapterContext;
    (void)Packet;
}
