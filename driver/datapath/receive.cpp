#include "driver/datapath/receive.h"

#include "driver/datapath/transmit.h"
#include "driver/frame/atomic.h"
#include "driver/frame/timers.h"
#include "driver/usb/configuration.h"

namespace {

// How long a read that could not get its IRP waits before the receive handler tries again.
constexpr UINT kReadRetryMs = 10;

VOID ReturnToFreeList(AdapterRecord* Adapter, PacketDescriptor* Descriptor) {
    NdisAcquireSpinLock(&Adapter->RxLock);
    ListAppendTail(&Adapter->RxFreeList, Descriptor);
    NdisReleaseSpinLock(&Adapter->RxLock);
}

}  // namespace

ULONG SubmitBulkIn(AdapterRecord* Adapter, PacketDescriptor* Descriptor) {
    auto& t = Descriptor->Urb->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = PipeHandle(Adapter, PIPE_BULK_IN);
    t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    t.TransferBufferLength = DESCRIPTOR_BUFFER_SIZE;
    t.TransferBuffer = Descriptor->Buffer;
    t.TransferBufferMDL = nullptr;
    t.UrbLink = nullptr;
    PIRP irp = AllocateTransferIrp(Adapter, Descriptor, BulkInComplete);
    if (irp == nullptr) {
        // Back among the idle descriptors, so that reading can resume once every descriptor is
        // idle again instead of stopping for good. With no read left outstanding, no frame will
        // arm the receive timer either: a running adapter arms it here, and the handler starts
        // the read again once every descriptor is idle. The first read of start-up is looked
        // after by the end of MiniportInitialize.
        ReturnToFreeList(Adapter, Descriptor);
        if (Adapter->ReceiveStarted != 0 &&
            ReadShared(Adapter->AdapterState) == ADAPTER_RUNNING)
            ArmTimer(Adapter, &Adapter->ReceiveTimer, kReadRetryMs);
        return RESULT_FAILURE;
    }
    // From here the IRP and the descriptor belong to BulkInComplete.
    return IofCallDriver(Adapter->NextDeviceObject, irp) == STATUS_PENDING ? RESULT_SUCCESS
                                                                           : RESULT_FAILURE;
}

NTSTATUS NTAPI BulkInComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    auto* d = static_cast<PacketDescriptor*>(Context);
    AdapterRecord* adapter = d->Adapter;
    if (ReadShared(adapter->AdapterState) != ADAPTER_RUNNING) {
        IoFreeIrp(Irp);
        ReturnToFreeList(adapter, d);
        TransferDone(adapter);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    d->DataLength = 0;
    if (Irp->IoStatus.Status != STATUS_SUCCESS) {
        // Failed only from running: a shutdown or a reset that marked the adapter since the
        // look above keeps its mark (powered down stays final; a reset ends running anyway).
        InterlockedCompareExchange(reinterpret_cast<LONG volatile*>(&adapter->AdapterState),
                                   static_cast<LONG>(ADAPTER_RECEIVE_FAILED),
                                   static_cast<LONG>(ADAPTER_RUNNING));
        IoFreeIrp(Irp);
        ReturnToFreeList(adapter, d);
        TransferDone(adapter);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    const ULONG n = d->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    // A lower driver that reports more than the buffer holds has delivered nothing usable.
    if (n >= 2 && n <= DESCRIPTOR_BUFFER_SIZE) {
        const UCHAR status = d->Buffer[n - 2];
        if (status & RECEIVE_STATUS_ERRORS) {
            if (status & 0x02) CountShared(adapter->RcvFlag06Count);
            if (status & 0x04) CountShared(adapter->RcvFlag06Count);
            if (status & 0x08) CountShared(adapter->RcvError);
            if (status & 0x10) CountShared(adapter->RcvFlag10Count);
        } else if (n > RECEIVE_TRAILER_BYTES &&
                   n - RECEIVE_TRAILER_BYTES < ETHERNET_HEADER_SIZE) {
            // Too short to hold even the header the packet says it has: a runt, not a frame.
            CountShared(adapter->RcvRunt);
        } else {
            CountShared(adapter->RcvOk);
            // A frame longer than the packet's buffer describes cannot be indicated whole.
            if (n > RECEIVE_TRAILER_BYTES && n - RECEIVE_TRAILER_BYTES <= RECEIVE_BUFFER_LENGTH)
                d->DataLength = n - RECEIVE_TRAILER_BYTES;
        }
    }
    IoFreeIrp(Irp);
    if (d->DataLength != 0) QueueReceivedFrame(adapter, d);
    else SubmitBulkIn(adapter, d);
    TransferDone(adapter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG QueueReceivedFrame(AdapterRecord* Adapter, PacketDescriptor* Descriptor) {
    NdisAcquireSpinLock(&Adapter->RxLock);
    ListAppendTail(&Adapter->RxReadyList, Descriptor);
    PacketDescriptor* next = ListRemoveHead(&Adapter->RxFreeList);
    NdisReleaseSpinLock(&Adapter->RxLock);
    // The bus gets its next read before any protocol work.
    if (next != nullptr) SubmitBulkIn(Adapter, next);
    ArmTimer(Adapter, &Adapter->ReceiveTimer, 0);
    return RESULT_SUCCESS;
}

VOID NTAPI IndicateReceivedFrames(PVOID SystemSpecific1, PVOID FunctionContext,
                                  PVOID SystemSpecific2, PVOID SystemSpecific3) {
    (void)SystemSpecific1;
    (void)SystemSpecific2;
    (void)SystemSpecific3;
    auto* adapter = static_cast<AdapterRecord*>(FunctionContext);
    TimerRoutineScope running(adapter);
    // Until MiniportInitialize has returned NDIS takes no indication: frames wait on
    // RxReadyList, and the end of MiniportInitialize arms this timer again.
    if (ReadShared(adapter->InitializeDone) == 0) return;
    NdisAcquireSpinLock(&adapter->RxLock);
    if (adapter->RxIndicating != 0) {
        // The routine running elsewhere looks at the ready list again before it stops.
        NdisReleaseSpinLock(&adapter->RxLock);
        return;
    }
    adapter->RxIndicating = 1;
    for (PacketDescriptor* d = ListRemoveHead(&adapter->RxReadyList); d != nullptr;
         d = ListRemoveHead(&adapter->RxReadyList)) {
        auto* pair = static_cast<PacketPair*>(d->PacketEntry);
        NdisAdjustBufferLength(pair->Buffer, d->DataLength);
        // The packet is reused: its cached length is an earlier frame's until recounted.
        NdisRecalculatePacketCounts(pair->Packet);
        NDIS_SET_PACKET_STATUS(pair->Packet, NDIS_STATUS_RESOURCES);
        NdisReleaseSpinLock(&adapter->RxLock);
        NdisMIndicateReceivePacket(adapter->MiniportAdapterHandle,
                                   reinterpret_cast<PPNDIS_PACKET>(pair), 1);
        // The protocols copied what they needed: the buffer may take a new read.
        NdisAcquireSpinLock(&adapter->RxLock);
        ListAppendTail(&adapter->RxFreeList, d);
    }
    adapter->RxIndicating = 0;
    // Reading resumes only from here when it stopped: every descriptor idle means none is held
    // by a read. Deciding and taking happen under one hold, so two handlers cannot both start.
    // Once powered down, the shutdown path has aborted the bulk-in pipe and nothing would end a
    // new read before halt frees its descriptor: a late transmit completion that arms this
    // timer restarts nothing.
    PacketDescriptor* restart = nullptr;
    if (adapter->RxFreeList.Count >= adapter->RxDescriptorCount &&
        ReadShared(adapter->AdapterState) != ADAPTER_POWERED_DOWN)
        restart = ListRemoveHead(&adapter->RxFreeList);
    NdisReleaseSpinLock(&adapter->RxLock);
    if (restart != nullptr) SubmitBulkIn(adapter, restart);
}
